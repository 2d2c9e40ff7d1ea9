// Decoding one entry without work files: stage 1 on a thread of its own and
// stages 2 to 4 on the caller's, with a bounded queue of 32 KiB pieces between
// them; stage 1's thread takes part of the rest whenever it would wait. Memory stays below 20 MiB
// whatever the size of the entry. The verdict is the work-file chain's: same bytes, same result.
#pragma once

#include <stdint.h>

#include "codec/012coding.h"
#include "decoder/decode_chain.h"

// Receives the decoded bytes in order, in pieces of at most 1 MiB. A failure
// (CAUSE_WRITE_FAILED with the system's number, or CAUSE_CANCELLED when the
// caller gives up) stops the decoding, which then answers it.
typedef Status (*DecodedOutput)(void* context, const uint8_t* data, uint32_t size);

// Reads stored bytes held in memory: a Stage1Refill over a MemoryBytesReader.
struct MemoryBytesReader {
    const uint8_t* next;
    uint32_t left;
};
Status ReadMemoryBytes(void* reader, uint8_t* buffer, uint32_t room, uint32_t* got);

// Below this size an entry decodes faster on one thread than the second
// thread takes to start: it always runs on the caller's.
const uint32_t TWO_THREADS_FROM = 0x100000;

// Decodes the stored bytes that `read_stored` delivers. The output receives
// the entry's bytes as they are decoded, before the verdict is known: only
// CAUSE_OK says they are the entry. With `two_threads` false everything
// runs on the caller's thread. When given, *widened_steps receives how many
// steps of stage 1 needed the narrow-interval widening.
Status DecodeInMemory(const StoredEntry& entry, Stage1Refill read_stored, void* read_context,
                      DecodedOutput output, void* output_context, bool two_threads,
                      uint32_t* widened_steps = NULL);

// Buffers kept by a caller that decodes many entries one after another on
// one thread, so that each entry does not fetch and fault in its own: each
// grows to what the largest entry so far needed and stays until
// FreeDecoderBuffers. Their contents never carry over from one entry to the
// next.
struct DecoderBuffers {
    uint8_t* stored;
    uint32_t stored_room;
    uint8_t* piece;
    uint32_t piece_room;
    uint32_t* index_table;
    uint8_t* sort_output;
    uint32_t block_room;
    uint8_t* runs_block;
    uint32_t runs_room;
    uint8_t* runs_output;
    uint32_t output_room;
};
void FreeDecoderBuffers(DecoderBuffers* buffers);

// DecodeInMemory on the caller's thread alone, with `buffers` (zero-filled
// at first) lent for the entry and handed back, grown, at its end.
Status DecodeInMemoryReusing(const StoredEntry& entry, Stage1Refill read_stored, void* read_context,
                             DecodedOutput output, void* output_context, DecoderBuffers* buffers,
                             uint32_t* widened_steps = NULL);

// Decoding at the pace of whoever takes the output, on its thread alone, in
// memory bounded by the format's block sizes (about 12 MiB): the one-thread
// decoding above, a run-length block at a time. Same bytes, same verdict.
struct PullDecoder;

// NULL, with *result saying why, when the decoding cannot start.
PullDecoder* StartPullDecoder(const StoredEntry& entry, Stage1Refill read_stored,
                              void* read_context, Status* result);

// The next decoded bytes: *data and *size point into the decoder until the
// next call. *size is 0 only with the verdict: CAUSE_OK when the entry is
// complete and sound. Once a verdict is given every call repeats it.
Status PullDecoded(PullDecoder* decoder, const uint8_t** data, uint32_t* size);

// Steps of stage 1 so far that needed the narrow-interval widening.
uint32_t PulledWidenedSteps(const PullDecoder* decoder);

void StopPullDecoder(PullDecoder* decoder);
