// The writer of the whole chain: run-length coding, block sorting,
// move-to-front and range coding, the mirror of the four decode stages.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

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
    Status status;           // STATUS_OK, or why it failed
    bool odd_rescale;        // the rule the stored bytes must be decoded with
    uint32_t widened_steps;  // steps of the stored stream that need the
                             // narrow-interval widening (0: every reader decodes it)
    uint64_t stored_size;    // bytes written to `out`
    const char* error;       // why it failed, in words
};

// An input read in order and an output written in order, both kept by the
// caller (files, in the writer). Positions count from where each began.
// A failed call answers CAUSE_READ_FAILED for the input and
// CAUSE_WRITE_FAILED for the output (also when reading the output back
// failed), with the system's number; the writer answers that status.
struct CompressStreams {
    void* context;
    // Back to the input's first byte: each pass reads the input again.
    Status (*rewind_input)(void* context);
    // Exactly `size` bytes of the input, the next ones.
    Status (*read_input)(void* context, uint8_t* buffer, uint32_t size);
    // Moves the output to `at`; the next read or write begins there.
    Status (*seek_output)(void* context, uint64_t at);
    // Ends the output at its position: what lies behind it goes.
    Status (*cut_output)(void* context);
    // Exactly `size` bytes of the output from its position.
    Status (*read_output)(void* context, uint8_t* buffer, uint32_t size);
    Status (*write_output)(void* context, const uint8_t* data, uint32_t size);
};

// Reads `original_size` bytes of the input and writes their stored form to
// the output, leaving the output right behind it and cut there. Memory stays
// bounded per block. When the stream of the preferred rule needs the
// widening, a stream of the other rule is written behind it and kept (moved
// to the start, which reads the output back) only when it needs none.
CompressResult compress_streams(uint32_t original_size, const CompressStreams& streams,
                                const CompressOptions& options);

// The same for a buffer in memory (tests, small inputs).
CompressResult compress_buffer(const uint8_t* data, size_t size, const CompressOptions& options,
                               std::vector<uint8_t>* stored);
