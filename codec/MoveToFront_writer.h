// Move-to-front, the writer's side of stage 2: each byte is replaced by its
// position in the recency table, and the table is updated exactly as the
// reader updates it. A fresh table starts every MTF_BUF_SIZE bytes of the
// stream, counted by position alone.
#pragma once

#include <stdint.h>

#include "codec/MoveToFront.h"

// Coding state that runs across calls, so a stream can be fed in pieces that
// do not line up with the chunks.
struct MtfEncoder {
    uint8_t mtf_table[256];
    int32_t prev;
    uint32_t chunk_fill;  // bytes of the current chunk already coded
};

void mtf_encode_start(MtfEncoder* state);

// Codes `size` bytes of `in` into `out` (the two may be the same buffer),
// starting a fresh table whenever a chunk of MTF_BUF_SIZE bytes is complete.
void mtf_encode_stream(MtfEncoder* state, const uint8_t* in, uint8_t* out, uint32_t size);

// Codes one chunk of `size` bytes (0..MTF_BUF_SIZE) with a fresh table.
void mtf_encode2(const uint8_t* in, uint8_t* out, uint32_t size);
