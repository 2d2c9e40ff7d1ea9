// Run-length coding, the writer's side of stage 4: four equal bytes are
// followed by a count byte of further copies (0..MAX_LEN), shorter repetitions
// are stored as they are. Every RLE_BUF_SIZE bytes of input are coded on their
// own, each block behind a 3-byte little-endian `beforesize`.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "codec/RunLength.h"

// Largest coded form of one full block: four equal bytes may take five coded
// bytes, and every forced split adds at most one more per four input bytes.
const uint32_t RLE_CODED_MAX = RLE_BUF_SIZE / 4 * 5 + 8;
const uint32_t RLE_MAX_RUN = RLE_THRESHOLD + MAX_LEN;  // 259

// Most runs of five or more bytes one block can hold.
const uint32_t RLE_RUNS_MAX = RLE_BUF_SIZE / 5 + 1;

// A run of at least five equal bytes, the only place where the coding has a
// choice: it may be cut after four bytes with a count of 0.
struct RleSplittableRun {
    uint32_t input_offset;  // first byte of the run in the block's input
    uint32_t count_offset;  // where its count byte lies in the coded data
};

// Codes `size` (0..RLE_BUF_SIZE) bytes of `in` into `out` (room for
// RLE_CODED_MAX bytes) and answers the coded length. A run that starts at an
// offset listed in `splits` (ascending, offsets within this block) and is five
// or more bytes long is cut after four bytes with a count of 0; the rest
// starts a new run. When `runs` is given, every run that could still be cut
// is appended to it (room for RLE_RUNS_MAX entries).
uint32_t rle_encode2(const uint8_t* in, uint8_t* out, uint32_t size, const uint32_t* splits,
                     size_t split_count, RleSplittableRun* runs, size_t* run_count);

// Writes the 3-byte little-endian `beforesize` of a block.
void rle_put_header(uint8_t* header, uint32_t coded_size);

// The whole stage in memory: every RLE_BUF_SIZE bytes of `data` as one block
// with its header, no run cut.
void rle_encode_buffer(const uint8_t* data, size_t size, std::vector<uint8_t>* stream);
