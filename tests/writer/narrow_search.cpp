// Searches for inputs on which the range coder's interval becomes narrower
// than a table total (the reader would find `tmp` = 0), so that the writer's
// way around it can be tested on real cases. Not a test itself; the inputs it
// finds are kept as seeds in test_narrow_interval.cpp.
//
//   writer_narrow_search SIZE FIRST_SEED LAST_SEED [RUN_EVERY]
//
// Each seed gives PseudoRandomBytes(seed, SIZE); with RUN_EVERY, every
// RUN_EVERY-th byte starts a run of eight zero bytes (so runs can be cut).
// Prints, per seed and rule, where the plain chain fails, if it does.
#include <stdio.h>
#include <stdlib.h>

#include "codec/012coding_writer.h"
#include "codec/BlockSorting_writer.h"
#include "codec/MoveToFront_writer.h"
#include "codec/RunLength_writer.h"
#include "tests/writer/decode_chain.h"

Bytes SearchInput(uint64_t seed, size_t size, size_t run_every) {
    Bytes data = PseudoRandomBytes(seed, size);
    if (run_every > 0)
        for (size_t i = run_every; i + 8 <= size; i += run_every)
            for (size_t k = 0; k < 8; k++) data[i + k] = 0;
    return data;
}

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: %s SIZE FIRST_SEED LAST_SEED [RUN_EVERY]\n", argv[0]);
        return 2;
    }
    size_t size = strtoull(argv[1], NULL, 0);
    uint64_t first = strtoull(argv[2], NULL, 0);
    uint64_t last = strtoull(argv[3], NULL, 0);
    size_t run_every = argc > 4 ? strtoull(argv[4], NULL, 0) : 0;
    uint64_t values = 0, failures = 0;
    for (uint64_t seed = first; seed <= last; seed++) {
        Bytes data = SearchInput(seed, size, run_every);
        Bytes rle, sorted, stream;
        rle_encode_buffer(data.data(), data.size(), &rle);
        if (!blocksort_encode_buffer(rle.data(), rle.size(), &sorted)) return 1;
        MtfEncoder mtf;
        mtf_encode_start(&mtf);
        mtf_encode_stream(&mtf, sorted.data(), sorted.data(), (uint32_t)sorted.size());
        for (int odd = 1; odd >= 0; odd--) {
            uint32_t failed_at = 0;
            RcEncodeResult r = coding012_encode_buffer(sorted.data(), (uint32_t)sorted.size(), odd,
                                                       &stream, &failed_at);
            values += sorted.size();
            if (r == RC_NARROW_INTERVAL) {
                failures++;
                printf("seed %llu size %zu run_every %zu: %s rule fails at value %u of %zu\n",
                       (unsigned long long)seed, size, run_every, odd ? "odd" : "plain", failed_at,
                       sorted.size());
                fflush(stdout);
            }
        }
    }
    printf("%llu failures in %llu values\n", (unsigned long long)failures,
           (unsigned long long)values);
    return 0;
}
