// Run-length coding, the writer's side of stage 4: four equal bytes are
// followed by a count byte of further copies (0..MAX_LEN), shorter repetitions
// are stored as they are. Every RLE_BUF_SIZE bytes of input are coded on their
// own, each block behind a 3-byte little-endian `beforesize`.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "codec/RunLength.h"

// Largest coded form of one full block: four equal bytes may take five
// coded bytes.
const uint32_t RLE_CODED_MAX = RLE_BUF_SIZE / 4 * 5;
const uint32_t RLE_MAX_RUN = RLE_THRESHOLD + MAX_LEN;  // 259

// Codes `size` (0..RLE_BUF_SIZE) bytes of `in` into `out` (room for
// RLE_CODED_MAX bytes) and answers the coded length.
uint32_t rle_encode2(const uint8_t* in, uint8_t* out, uint32_t size);

// Writes the 3-byte little-endian `beforesize` of a block.
void rle_put_header(uint8_t* header, uint32_t coded_size);
