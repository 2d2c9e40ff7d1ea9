// Run-length coding: the mirror of rle_decode2.
#include "codec/RunLength_writer.h"
#include "platform/byte_order.h"

uint32_t rle_encode2(const uint8_t* in, uint8_t* out, uint32_t size) {
    uint32_t p = 0;
    uint32_t q = 0;
    while (p < size) {
        uint8_t c = in[p];
        uint32_t limit = size - p < RLE_MAX_RUN ? size - p : RLE_MAX_RUN;
        uint32_t k = 1;
        while (k < limit && in[p + k] == c) k++;
        if (k < (uint32_t)RLE_THRESHOLD) {
            for (uint32_t i = 0; i < k; i++) out[q++] = c;
        } else {
            out[q++] = c;
            out[q++] = c;
            out[q++] = c;
            out[q++] = c;
            out[q++] = (uint8_t)(k - RLE_THRESHOLD);
        }
        p += k;
    }
    return q;
}

void rle_put_header(uint8_t* header, uint32_t coded_size) { Store24LE(header, coded_size); }
