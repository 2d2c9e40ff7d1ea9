// Block sorting on several threads: the blocks of one stream are sorted by
// worker threads and handed back in the order they were given, so the coder
// that consumes them writes the same bytes whatever the number of threads.
// At most a fixed number of blocks is in flight, so memory stays bounded.
#pragma once

#include <stdint.h>

struct BlockSorters;

// Sorters for `threads` threads in all: the caller's own thread counts as one
// (it sorts a block whenever it would otherwise wait), so 1 starts no worker.
// Workers start with the first full block, so a stream of one short block
// costs no thread. NULL without memory.
BlockSorters* blocksort_workers_start(unsigned threads);
// Stops the workers and frees everything; blocks in flight are dropped.
void blocksort_workers_stop(BlockSorters* sorters);

// True when no further block can be handed over before the oldest is taken.
bool blocksort_workers_full(const BlockSorters* sorters);
// True when no block is in flight.
bool blocksort_workers_idle(const BlockSorters* sorters);

// The buffer (BS_BUF_SIZE bytes) that receives the next block; only when not full.
uint8_t* blocksort_workers_next(BlockSorters* sorters);
// Hands over the `size` bytes (1..BS_BUF_SIZE) written to the buffer of
// blocksort_workers_next for sorting.
void blocksort_workers_submit(BlockSorters* sorters, uint32_t size);

// Waits for the oldest block in flight and answers its stored form (header and
// last column, BS_HEADER_SIZE + size bytes, *stored_size of them), or NULL when
// it could not be sorted. The buffer may be overwritten in place; it stays the
// caller's until blocksort_workers_release.
uint8_t* blocksort_workers_take(BlockSorters* sorters, uint32_t* stored_size);
void blocksort_workers_release(BlockSorters* sorters);

// Drops every block in flight, after the sorts under way have ended.
void blocksort_workers_cancel(BlockSorters* sorters);
