// A plain decoder of the four stages, in memory, written to be read against
// the stored format rather than to be fast: every step as the format states
// it, one value at a time. It shares no code with codec/, so the product's
// decoders can be checked against it on any input. Where the format leaves a
// choice open, it makes the same choice as the product:
// - stage 1 takes 0x00 for up to 8 bytes past the end of its input, and a
//   step that needs a 9th fails;
// - stage 3 refuses a block with size > 0x100000 or top >= size, and a header
//   or data cut short; a block of size 0 ends the stream soundly;
// - stage 4 refuses beforesize 0 or > 0x200000, a run of four without its
//   count byte, an expansion beyond 0x100000 and a block cut short;
// - an entry is sound only when stage 1 reached EOF with an output no longer
//   than a sound entry of its size can have, and the run-length blocks expand
//   to exactly its original size.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "platform/status.h"

namespace literal {

typedef std::vector<uint8_t> Bytes;

// How stage 1 went.
struct Stage1Outcome {
    Cause result;            // CAUSE_OK when EOF was decoded, else CAUSE_DAMAGED
    Bytes values;            // every value decoded before EOF or the failed step
    uint32_t widened_steps;  // steps that needed the narrow-interval rule
    bool cut;                // stopped after `max_values` values, neither EOF nor a failure
};

// Stage 1. With `narrow_interval_rule` false a step whose range is below its
// table's total fails instead of widening the interval. Stops after
// `max_values` values (then CAUSE_DAMAGED with `cut` set).
Stage1Outcome DecodeStage1(const Bytes& stream, bool odd_rescale, bool narrow_interval_rule = true,
                           size_t max_values = (size_t)-1);

// Stage 2: any input decodes, to as many bytes.
Bytes DecodeStage2(const Bytes& in);

// Stages 3 and 4: CAUSE_OK or CAUSE_DAMAGED; *out receives the blocks
// restored before the stream ended or a block was refused.
Cause DecodeStage3(const Bytes& in, Bytes* out);
Cause DecodeStage4(const Bytes& in, Bytes* out);

// One block of each: the restored bytes (top < size <= 0x100000 assumed),
// and the expansion of coded bytes, CAUSE_DAMAGED for a block outside the format.
Bytes RestoreBlock(const Bytes& last_column, uint32_t top);
Cause ExpandBlock(const Bytes& coded, Bytes* out);

// The whole entry, as a reader that keeps all of stage 1's output decodes it:
// CAUSE_OK with the original bytes in *out, or CAUSE_DAMAGED.
Cause DecodeEntry(const Bytes& stored, uint32_t original_size, bool odd_rescale, Bytes* out);

}  // namespace literal
