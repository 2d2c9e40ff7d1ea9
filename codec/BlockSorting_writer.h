// Block sorting, the writer's side of stage 3: the cyclic rotations of a block
// sorted ascending by unsigned bytes, stored as their last column behind a
// header of 24-bit big-endian `top` (the rank of the block's own rotation) and
// 24-bit big-endian `size`.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "codec/BlockSorting.h"

// Memory for sorting one block: the block written twice and one suffix index
// per byte of that (10 MiB for a full block). Kept by the caller so that a
// stream of blocks reuses it.
struct BlockSortWork {
    uint8_t* doubled;   // 2 * BS_BUF_SIZE bytes
    int32_t* suffixes;  // 2 * BS_BUF_SIZE entries
};

// CAUSE_NO_MEMORY, with nothing held, when the memory cannot be had.
Status blocksort_work_init(BlockSortWork* work);
void blocksort_work_free(BlockSortWork* work);

// Sorts the rotations of `size` (1..BS_BUF_SIZE) bytes of `block` and writes the
// whole stored block, header and last column (BS_HEADER_SIZE + size bytes),
// to `stored`. Answers `top`, or -1 when the sort failed.
int32_t blocksort_encode2(const uint8_t* block, uint32_t size, uint8_t* stored,
                          BlockSortWork* work);
