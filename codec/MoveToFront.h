// Stage 2: the move-to-front variant in which a byte seen again moves to the
// second place, and to the front only when seen again right after.
#pragma once

#include <stdint.h>

const uint32_t MTF_BUF_SIZE = 0x100000;

// Decodes one chunk of `size` bytes (0..MTF_BUF_SIZE) with a fresh table.
void mtf_decode2(const uint8_t* in, uint8_t* out, uint32_t size);

// The table between the parts of one chunk, for a caller that has the chunk
// in parts: mtf_start_chunk, then mtf_decode_part over the parts in order,
// gives what mtf_decode2 gives over the whole chunk.
struct MtfState {
    uint8_t table[256];  // places 2..255; places 0 and 1 are below
    uint8_t front, second;
    uint32_t prev;
};
void mtf_start_chunk(MtfState* state);
void mtf_decode_part(MtfState* state, const uint8_t* in, uint8_t* out, uint32_t size);
