// Stage 3: inverse block sorting, block by block (header: 24-bit big-endian
// primary index `top`, then 24-bit big-endian `size`, then the last column).
#pragma once

#include <stdint.h>

#include "platform/platform.h"

const uint32_t BS_BUF_SIZE = 0x100000;
const uint32_t CODE_SIZE = 0x100;

// Restores one block of `size` bytes (1..BS_BUF_SIZE, top < size) from its last
// column into `output` and appends it to `out`. Calls the pump once, between
// building the index table and walking it. 1 on success; 0 when the block lies
// outside the format, memory cannot be had or the write fails.
int blocksort_decode2(const uint8_t* last_column, uint8_t* output, uint32_t top, uint32_t size,
                      FileHandle out, MessagePump pump);

// Restores every block of `in` into `out` (both rewound, `out` truncated).
// Calls the pump twice per block. 1 when the stream ended as the format
// allows; 0 when a block was refused (nothing is written for it) or a buffer,
// read or write failed.
int blocksort_decode(FileHandle in, FileHandle out, MessagePump pump);
