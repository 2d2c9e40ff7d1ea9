// Whole entries compressed on several threads: small entries, each of one
// block or a few, gain nothing from sorting their blocks in parallel, so
// several of them are compressed at once instead, in memory, and handed back
// in the order they were given. The stored bytes are the same as from one
// thread; only the order in which the work is done changes.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "codec/compress.h"

struct CompressPool;

// A pool of `threads` workers (at least 1) that holds at most `max_bytes` of
// entries (their bytes, before and after compression) in flight. NULL
// without memory or threads.
CompressPool* compress_pool_start(unsigned threads, size_t max_bytes);
// Stops the workers and drops whatever is in flight.
void compress_pool_stop(CompressPool* pool);

// True when an entry of `size` bytes can be handed over before the oldest
// is taken. An empty pool takes any entry.
bool compress_pool_has_room(const CompressPool* pool, size_t size);

// Hands over an entry's bytes (taken over by the pool) to be compressed with
// `options` (its `threads` is ignored: every entry is coded on one thread).
// CAUSE_NO_MEMORY when it cannot be taken.
Status compress_pool_submit(CompressPool* pool, std::vector<uint8_t>* data,
                            const CompressOptions& options);

// Waits for the oldest entry in flight (there must be one) and answers its
// result, with its stored bytes in *stored.
CompressResult compress_pool_take(CompressPool* pool, std::vector<uint8_t>* stored);
