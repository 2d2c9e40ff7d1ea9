// Move-to-front variant: a byte seen again moves to the second place, and to
// the front only when its index 1 follows an index other than 0.
#include "codec/MoveToFront_writer.h"

#include <string.h>

static void fresh_table(MtfEncoder* state) {
    for (int i = 0; i < 256; i++) state->mtf_table[i] = (uint8_t)i;
    state->prev = 1;
    state->chunk_fill = 0;
}

void mtf_encode_start(MtfEncoder* state) { fresh_table(state); }

// After block sorting most bytes sit near the front of the table, so the
// first places are searched and shifted by hand and only the rest by the
// library's block routines.
const uint32_t NEAR_FRONT = 16;

// Codes bytes that all lie within one chunk.
static void encode_within_chunk(MtfEncoder* state, const uint8_t* in, uint8_t* out, uint32_t size) {
    uint8_t* table = state->mtf_table;
    int32_t prev = state->prev;
    for (uint32_t i = 0; i < size; i++) {
        uint8_t c = in[i];
        uint32_t j = 0;
        while (j < NEAR_FRONT && table[j] != c) j++;
        // The table is a permutation, so the byte is always found.
        if (j == NEAR_FRONT) j = (uint32_t)((const uint8_t*)memchr(table, c, 256) - table);
        if (j == 1) {
            if (prev != 0) {
                table[1] = table[0];
                table[0] = c;
            }
        } else if (j >= NEAR_FRONT) {
            memmove(table + 2, table + 1, j - 1);
            table[1] = c;
        } else if (j >= 2) {
            for (uint32_t k = j; k > 1; k--) table[k] = table[k - 1];
            table[1] = c;
        }
        out[i] = (uint8_t)j;
        prev = (int32_t)j;
    }
    state->prev = prev;
    state->chunk_fill += size;
}

void mtf_encode_stream(MtfEncoder* state, const uint8_t* in, uint8_t* out, uint32_t size) {
    while (size > 0) {
        if (state->chunk_fill == MTF_BUF_SIZE) fresh_table(state);
        uint32_t room = MTF_BUF_SIZE - state->chunk_fill;
        uint32_t n = size < room ? size : room;
        encode_within_chunk(state, in, out, n);
        in += n;
        out += n;
        size -= n;
    }
}

void mtf_encode2(const uint8_t* in, uint8_t* out, uint32_t size) {
    MtfEncoder state;
    fresh_table(&state);
    encode_within_chunk(&state, in, out, size);
}
