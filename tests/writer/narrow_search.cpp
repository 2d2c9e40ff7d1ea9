// Searches for inputs whose range-coded stream needs the narrow-interval
// widening, so that the whole path (writer, tool, extractor) can be tested on
// a real case. Not a test itself; the seeds it finds are kept in the tests.
//
//   writer_narrow_search SIZE FIRST_SEED LAST_SEED
//
// Each seed gives PseudoRandomBytes(seed, SIZE). The values after run-length
// coding, block sorting and move-to-front do not depend on the rescale rule,
// so they are made once and range coded under each rule. Prints every seed
// whose streams need the widening under both rules (only such an entry keeps
// it), and how often each rule needed it.
#include <stdio.h>
#include <stdlib.h>

#include "codec/012coding_writer.h"
#include "codec/BlockSorting_writer.h"
#include "codec/MoveToFront_writer.h"
#include "codec/RunLength_writer.h"
#include "tests/writer/decode_chain.h"
#include "tests/writer/stage_encoders.h"

// Steps needing the widening when `values` are coded under a rule.
static uint32_t WidenedSteps(const Bytes& values, int odd) {
    Bytes stream;
    uint32_t widened = 0;
    if (!coding012_encode_buffer(values.data(), (uint32_t)values.size(), odd, &stream, &widened)
             .ok())
        exit(1);
    return widened;
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s SIZE FIRST_SEED LAST_SEED\n", argv[0]);
        return 2;
    }
    size_t size = strtoull(argv[1], NULL, 0);
    uint64_t first = strtoull(argv[2], NULL, 0);
    uint64_t last = strtoull(argv[3], NULL, 0);
    uint64_t seeds = 0, values = 0, odd_count = 0, plain_count = 0, both_count = 0;
    for (uint64_t seed = first; seed <= last; seed++) {
        Bytes data = PseudoRandomBytes(seed, size);
        Bytes rle, sorted;
        rle_encode_buffer(data.data(), data.size(), &rle);
        if (!blocksort_encode_buffer(rle.data(), rle.size(), &sorted)) return 1;
        MtfEncoder mtf;
        mtf_encode_start(&mtf);
        mtf_encode_stream(&mtf, sorted.data(), sorted.data(), (uint32_t)sorted.size());
        seeds++;
        values += sorted.size();
        uint32_t odd = WidenedSteps(sorted, 1);
        uint32_t plain = WidenedSteps(sorted, 0);
        odd_count += odd > 0;
        plain_count += plain > 0;
        if (odd > 0 && plain > 0) {
            both_count++;
            printf("seed %llu size %zu: widened steps odd %u, plain %u\n", (unsigned long long)seed,
                   size, odd, plain);
            fflush(stdout);
        }
    }
    printf("%llu seeds, %llu values: odd rule widened %llu, plain %llu, both %llu\n",
           (unsigned long long)seeds, (unsigned long long)values, (unsigned long long)odd_count,
           (unsigned long long)plain_count, (unsigned long long)both_count);
    return 0;
}
