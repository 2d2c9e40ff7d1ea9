// The stage drivers over work files: each stage's in-memory transform run
// from one open file into another, with a message pump. The work-file chain
// (decode_chain.h) runs them in order; the codec itself reads and writes no
// file.
#pragma once

#include <stdint.h>

#include "platform/platform.h"
#include "platform/status.h"

// Stage 1 calls the pump once per this many output bytes: often enough that
// a window stays responsive, rare enough to cost nothing per byte.
const uint32_t STAGE1_PUMP_INTERVAL = 4096;

const uint64_t NO_OUTPUT_LIMIT = ~(uint64_t)0;

// A stage-1 refill (Stage1Refill) that reads, from its current position, the
// open file that `context` points to (a FileHandle*).
Status RefillFromFile(void* context, uint8_t* buffer, uint32_t room, uint32_t* got);

// Decodes one stage-1 stream from `in` (from its start) into `out` (rewound
// and truncated first). Every driver here answers a Status: a failed read or
// write carries the system's number. CAUSE_OK when EOF was decoded; CAUSE_DAMAGED when a
// value cannot be decoded or the output would pass `output_limit` bytes;
// otherwise the failure's cause. With `stopped` given, passing the limit is
// no verdict: the stage stops there with CAUSE_OK, *stopped set and the
// output so far (a little more than output_limit bytes) in `out`. Calls the
// pump after every STAGE1_PUMP_INTERVAL output bytes. When given,
// *widened_steps receives how many steps of a decoded stream needed the
// widening (0 when it does not decode).
Status coding012_decode(FileHandle in, FileHandle out, int fNewType, MessagePump pump,
                        uint64_t output_limit, uint32_t* widened_steps = NULL,
                        bool* stopped = NULL);

// Decodes the whole of `in` into `out` in chunks of MTF_BUF_SIZE; both are
// rewound first and `out` is truncated. Calls the pump once per chunk.
// Any input decodes: the result tells only a failed buffer, read or write.
Status mtf_decode(FileHandle in, FileHandle out, MessagePump pump);

// Restores one block and appends it to `out`, with an index table of its own.
// CAUSE_DAMAGED for a block outside the format, else the cause of a failure.
Status blocksort_decode2(const uint8_t* last_column, uint8_t* output, uint32_t top, uint32_t size,
                         FileHandle out, MessagePump pump);

// Restores every block of `in` into `out` (both rewound, `out` truncated).
// Calls the pump twice per block. CAUSE_OK when the stream ended as the
// format allows; CAUSE_DAMAGED when a block was refused or cut short
// (nothing is written for it); otherwise the cause of a failure.
Status blocksort_decode(FileHandle in, FileHandle out, MessagePump pump);

// Expands every block of `in` into `out` (both rewound, `out` truncated).
// Calls the pump once per block. CAUSE_OK when the stream ended as the
// format allows; CAUSE_DAMAGED when a block was refused or cut short
// (nothing is written for it); otherwise the cause of a failure.
Status rle_decode(FileHandle in, FileHandle out, MessagePump pump);

// The number of bytes that rle_decode would write for `in`, found by walking
// its blocks without writing anything, in *expanded. CAUSE_DAMAGED when
// rle_decode would refuse a block. Leaves the file position undefined.
Status rle_expanded_size(FileHandle in, uint64_t* expanded);
