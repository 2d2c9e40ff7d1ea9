// Stage 3: inverse block sorting, block by block (header: 24-bit big-endian
// primary index `top`, then 24-bit big-endian `size`, then the last column).
#pragma once

#include <stdint.h>

#include <atomic>

#include "platform/platform.h"

const uint32_t BS_BUF_SIZE = 0x100000;
const uint32_t CODE_SIZE = 0x100;
const uint32_t BS_HEADER_SIZE = 6;

// `top` and `size` of a block header.
void blocksort_read_header(const uint8_t header[BS_HEADER_SIZE], uint32_t* top, uint32_t* size);

// True for a block the stage can restore: 1 <= size <= BS_BUF_SIZE, top < size.
inline bool blocksort_block_ok(uint32_t top, uint32_t size) {
    return size >= 1 && size <= BS_BUF_SIZE && top < size;
}

// Blocks of this size and more are walked in segments (see BlockSorting.cpp).
const uint32_t BS_SEGMENTED_WALK_MIN = 0x10000;

// The 32-bit words of work area that blocksort_restore needs for a block of
// `size` bytes: the ranked last column, and as much again for the pieces of
// a walk in segments.
inline size_t blocksort_work_words(uint32_t size) { return 2 * (size_t)size; }

// Restores one block of `size` bytes from its last column into `output`, using
// `work` (blocksort_work_words(size) words, contents irrelevant). Calls the
// pump once, between ranking the last column and walking it. The caller has
// checked the block with blocksort_block_ok.
void blocksort_restore(const uint8_t* last_column, uint8_t* output, uint32_t top, uint32_t size,
                       uint32_t* work, MessagePump pump);

// blocksort_restore with the walk chosen by the caller: one walk, or the
// walk in segments that it takes for blocks of BS_SEGMENTED_WALK_MIN bytes or
// more. Both give the same bytes for any block; tests hold them to that.
void blocksort_restore_walking(const uint8_t* last_column, uint8_t* output, uint32_t top,
                               uint32_t size, uint32_t* work, MessagePump pump, bool in_segments);

// The last column ranked as it arrives, in parts of any size: the first words
// of the work area receive an entry per byte (see BlockSorting.cpp).
struct BlockRanks {
    uint32_t seen[CODE_SIZE];  // bytes of each value ranked so far
    uint32_t size;             // bytes ranked so far
};
void blocksort_rank_start(BlockRanks* ranks);
void blocksort_rank_part(BlockRanks* ranks, const uint8_t* part, uint32_t n, uint32_t* work);
// blocksort_restore for a block that is ranked into `work` already.
void blocksort_restore_ranked(const BlockRanks* ranks, uint8_t* output, uint32_t top,
                              uint32_t* work);

// The segmented walk in three steps, so that two threads can share it:
// blocksort_restore_begin takes the ranked block (all of it ranked into
// `work`) and cuts the walk into segments; then
// blocksort_restore_walk_share(restore, i, shares) for every i below
// `shares`, each on any thread, in any order, one at a time or at once; then
// blocksort_restore_end puts the block together. Gives blocksort_restore's
// bytes for a block of BS_SEGMENTED_WALK_MIN bytes or more.
// Instead of fixed shares, threads may call blocksort_restore_walk_some at
// any time, also after others began: each takes the segments that no one
// has taken yet, one at a time, and returns when none is left for it. All
// calls must have returned before blocksort_restore_end.
const int BS_SEGMENTS = 64;
struct BlockSegment {
    uint32_t start;   // the row where it begins
    uint32_t length;  // bytes in its region
    uint32_t end;     // where it stopped: the start of another segment, or
                      // where its region filled up
};
struct BlockRestore {
    uint32_t* entries;
    uint8_t* scratch;
    uint32_t size;
    uint32_t top;
    uint32_t capacity;              // bytes of each segment's region
    uint32_t first_row[CODE_SIZE];  // where each byte's run of the sorted column starts
    BlockSegment segments[BS_SEGMENTS];
    int count;
    std::atomic<int> untaken;  // the first segment no blocksort_restore_walk_some has taken
};
void blocksort_restore_begin(BlockRestore* restore, const BlockRanks* ranks, uint32_t top,
                             uint32_t* work);
void blocksort_restore_walk_share(BlockRestore* restore, int share, int shares);
void blocksort_restore_walk_some(BlockRestore* restore);
void blocksort_restore_end(BlockRestore* restore, uint8_t* output);
