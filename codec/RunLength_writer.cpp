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

void rle_encode_buffer(const uint8_t* data, size_t size, std::vector<uint8_t>* stream) {
    stream->clear();
    std::vector<uint8_t> block(RLE_HEADER_SIZE + RLE_CODED_MAX);
    for (size_t offset = 0; offset < size; offset += RLE_BUF_SIZE) {
        uint32_t n = (uint32_t)(size - offset < RLE_BUF_SIZE ? size - offset : RLE_BUF_SIZE);
        uint32_t coded = rle_encode2(data + offset, block.data() + RLE_HEADER_SIZE, n);
        rle_put_header(block.data(), coded);
        stream->insert(stream->end(), block.begin(), block.begin() + RLE_HEADER_SIZE + coded);
    }
}
