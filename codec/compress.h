// The writer of the whole chain: run-length coding, block sorting,
// move-to-front and range coding, the mirror of the four decode stages.
#pragma once

#include <stdint.h>

#include <vector>

#include "platform/platform.h"

struct CompressResult {
    bool ok;
    bool odd_rescale;      // the rule the stored bytes must be decoded with
    uint64_t stored_size;  // bytes written to `out`
    const char* error;     // why it failed, when !ok
};

// Reads `original_size` bytes of `in` from its current position and writes
// their stored form to `out` from its current position. Memory stays bounded
// per block. `prefer_odd_rescale` picks the rescale rule tried first; the
// writer falls back to other representations of the same bytes when one
// cannot be decoded, and says which rule it used.
CompressResult compress_entry(FileHandle in, uint32_t original_size, FileHandle out,
                              bool prefer_odd_rescale);

// The same for a buffer in memory (tests, small inputs).
CompressResult compress_buffer(const uint8_t* data, size_t size, bool prefer_odd_rescale,
                               std::vector<uint8_t>* stored);
