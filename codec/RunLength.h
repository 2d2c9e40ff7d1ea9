// Stage 4: run-length expansion. Blocks of a 3-byte little-endian `beforesize`
// and that many coded bytes; four equal bytes are followed by a count byte.
#pragma once

#include <stdint.h>

#include "platform/platform.h"

const uint32_t RLE_BUF_SIZE = 0x100000;
const uint32_t RLE_IN_BUF_SIZE = 2 * RLE_BUF_SIZE;
const uint32_t MAX_LEN = 0xFF;
const int RLE_THRESHOLD = 4;

// Expands `size` coded bytes into `out` (room for RLE_BUF_SIZE bytes) and
// answers the number of bytes written, or -1 when the block lies outside the
// format: a run of four without its count byte, or more than RLE_BUF_SIZE bytes.
int32_t rle_decode2(const uint8_t* in, uint8_t* out, uint32_t size, int n);

// Expands every block of `in` into `out` (both rewound, `out` truncated).
// Calls the pump once per block. 1 when the stream ended as the format allows;
// 0 when a block was refused (nothing is written for it) or a buffer, read or
// write failed.
int rle_decode(FileHandle in, FileHandle out, MessagePump pump);

// The number of bytes that rle_decode would write for `in`, found by walking
// its blocks without writing anything; -1 when rle_decode would refuse a block
// or a read fails. Leaves the file position undefined.
int64_t rle_expanded_size(FileHandle in);
