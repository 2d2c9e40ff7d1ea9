// Decoding one stored entry through the four stages and two work files.
#pragma once

#include <stdint.h>

#include <string>

#include "platform/platform.h"

enum DecodeResult {
    DECODE_OK,
    DECODE_DAMAGED,  // the stored bytes do not decode to originalSize bytes
    DECODE_FAILED,   // the system failed us: work files, reads, writes
};

// Decodes the `stored_size` stored bytes at the archive's current position
// into `target` (rewound and truncated), which then holds exactly
// `original_size` bytes. The target is written only once the first three
// stages have succeeded and the run-length blocks add up to `original_size`.
// The archive is left right behind the stored bytes. *why says what went wrong.
// When given, *widened_steps receives how many steps of stage 1 needed the
// narrow-interval widening.
DecodeResult DecodeEntry(FileHandle archive, uint32_t stored_size, uint32_t original_size,
                         bool odd_rescale, FileHandle target, MessagePump pump, std::string* why,
                         uint32_t* widened_steps = NULL);
