// Stage 4: run-length expansion. Blocks of a 3-byte little-endian `beforesize`
// and that many coded bytes; four equal bytes are followed by a count byte.
#pragma once

#include <stdint.h>

const uint32_t RLE_BUF_SIZE = 0x100000;
const uint32_t RLE_IN_BUF_SIZE = 2 * RLE_BUF_SIZE;
const uint32_t RLE_HEADER_SIZE = 3;
const uint32_t MAX_LEN = 0xFF;
const int RLE_THRESHOLD = 4;

// `beforesize` of a block header.
uint32_t rle_read_header(const uint8_t header[RLE_HEADER_SIZE]);

// True for a `beforesize` the stage accepts: 1..RLE_IN_BUF_SIZE.
inline bool rle_block_size_ok(uint32_t beforesize) {
    return beforesize >= 1 && beforesize <= RLE_IN_BUF_SIZE;
}

// Expands `size` coded bytes into `out` (room for RLE_BUF_SIZE bytes) and
// answers the number of bytes written, or -1 when the block lies outside the
// format: a run of four without its count byte, or more than RLE_BUF_SIZE bytes.
// With `out` NULL the block is only measured.
int32_t rle_decode2(const uint8_t* in, uint8_t* out, uint32_t size, int n);

// The same with room for only `room` (at most RLE_BUF_SIZE) bytes in `out`:
// -1 also when the expansion would pass it.
int32_t rle_decode_within(const uint8_t* in, uint8_t* out, uint32_t size, int n, uint32_t room);
