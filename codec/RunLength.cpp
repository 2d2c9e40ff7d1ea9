// Stage 4: run-length expansion, block by block with fresh run state.
#include "codec/RunLength.h"
#include "platform/byte_order.h"

#include <string.h>

uint32_t rle_read_header(const uint8_t header[RLE_HEADER_SIZE]) { return Load24LE(header); }

// True when some byte of v is zero. The lowest byte flagged is the first
// zero byte; only bytes above it can be flagged wrongly.
static inline uint64_t zero_bytes(uint64_t v) {
    return (v - 0x0101010101010101ull) & ~v & 0x8080808080808080ull;
}

// True when none of the 8 positions from p starts four equal bytes (p[0..10]
// must be readable): then those 8 bytes stand for themselves.
static inline bool eight_without_run(const uint8_t* p) {
    uint64_t x = Load64LE(p);
    uint64_t differs = (x ^ Load64LE(p + 1)) | (x ^ Load64LE(p + 2)) | (x ^ Load64LE(p + 3));
    return zero_bytes(differs) == 0;
}

int32_t rle_decode2(const uint8_t* in, uint8_t* out, uint32_t size, int n) {
    return rle_decode_within(in, out, size, n, RLE_BUF_SIZE);
}

int32_t rle_decode_within(const uint8_t* in, uint8_t* out, uint32_t size, int n, uint32_t room) {
    if (n < 1) return -1;
    const uint8_t* p = in;
    const uint8_t* end = in + size;
    uint32_t written = 0;
    // The output limit is checked before anything is written, so nothing
    // can reach past the output buffer.
    while (p < end) {
        // Bytes outside runs of n stand for themselves: with the usual n of
        // 4, they are taken 8 at a time while no run of four starts among
        // them (a shorter run of equal bytes is copied as it is, too).
        if (n == RLE_THRESHOLD) {
            while (end - p >= 11 && room - written >= 8 && eight_without_run(p)) {
                if (out) memcpy(out + written, p, 8);
                p += 8;
                written += 8;
            }
            if (p == end) break;
        }
        uint8_t c = *p++;
        uint32_t k = 1;
        while (p < end && k < (uint32_t)n && *p == c) {
            k++;
            p++;
        }
        if (k == (uint32_t)n) {
            if (p == end) return -1;  // the count byte lies past the block end
            k += *p++;
        }
        if (k > room - written) return -1;
        if (out) memset(out + written, c, k);
        written += k;
    }
    return (int32_t)written;
}
