// The writer of the whole chain: run-length coding, block sorting,
// move-to-front and range coding, the mirror of the four decode stages.
#pragma once

#include <stdint.h>

#include <vector>

#include "platform/platform.h"
#include "platform/status.h"

// Entries above this size are not coded a second time with the other rescale
// rule when the first stream needs the widening: at that length the second
// would almost always need it too.
const uint64_t RESCALE_RETRY_LIMIT = 64u << 20;

struct CompressOptions {
    bool prefer_odd_rescale = true;  // the rescale rule tried first
    unsigned threads = 1;            // block sorters; 1 sorts on the calling thread
    uint64_t retry_limit = RESCALE_RETRY_LIMIT;
    // Called after every MiB of input a pass has taken in, with the bytes of
    // the entry taken in so far by that pass; false stops the writer, which
    // then answers `cancelled`. May be NULL.
    bool (*progress)(void* context, uint64_t done) = NULL;
    void* progress_context = NULL;
};

struct CompressResult {
    Cause cause;             // CAUSE_OK, or why it failed
    bool odd_rescale;        // the rule the stored bytes must be decoded with
    uint32_t widened_steps;  // steps of the stored stream that need the
                             // narrow-interval widening (0: every reader decodes it)
    uint64_t stored_size;    // bytes written to `out`
    const char* error;       // why it failed, in words
    uint32_t system_error;   // the system's reason when the output failed (LastFileError), else 0
};

// Reads `original_size` bytes of `in` from its current position and writes
// their stored form to `out` from its current position, leaving `out` right
// behind it and cut there. Memory stays bounded per block. When the stream of the preferred
// rule needs the widening, a stream of the other rule is written behind it
// and kept (moved to the start, so `out` must be open for reading too) only
// when it needs none.
CompressResult compress_entry(FileHandle in, uint32_t original_size, FileHandle out,
                              const CompressOptions& options);

// The same for a buffer in memory (tests, small inputs).
CompressResult compress_buffer(const uint8_t* data, size_t size, const CompressOptions& options,
                               std::vector<uint8_t>* stored);
