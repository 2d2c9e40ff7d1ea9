// Stage 2: the move-to-front variant, undone chunk by chunk with a fresh table.
#include "codec/MoveToFront.h"

#include <string.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

void mtf_start_chunk(MtfState* state) {
    for (int i = 0; i < 256; i++) state->table[i] = (uint8_t)i;
    state->front = 0;
    state->second = 1;
    state->prev = 1;  // so that an index 1 at the start of a chunk still exchanges
}

// Places 2..j-1 of the table move up by one, over place j, and `entering`
// takes place 2.
const uint32_t MTF_SHORT_MOVE = 16;  // places moved in one step
static inline void move_places_up(uint8_t* table, uint32_t j, uint8_t entering) {
#if defined(__SSE2__)
    // Within the 16 places from place 2 (a short move, the common one): each
    // place up to j takes the byte of the place below it, place 2 `entering`,
    // the places above j keep theirs; one load and one store.
    if (j < 2 + MTF_SHORT_MOVE) {
        const __m128i lanes = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        __m128i group = _mm_loadu_si128((const __m128i*)(table + 2));
        __m128i moved = _mm_or_si128(_mm_slli_si128(group, 1), _mm_cvtsi32_si128(entering));
        __m128i keep = _mm_cmpgt_epi8(lanes, _mm_set1_epi8((char)(j - 2)));
        group = _mm_or_si128(_mm_and_si128(keep, group), _mm_andnot_si128(keep, moved));
        _mm_storeu_si128((__m128i*)(table + 2), group);
        return;
    }
#endif
    memmove(table + 3, table + 2, j - 2);
    table[2] = entering;
}

void mtf_decode_part(MtfState* state, const uint8_t* in, uint8_t* out, uint32_t size) {
    // The first two places of the table live in locals: indices 0 and 1,
    // the most frequent by far, then touch no memory.
    uint8_t* mtf_table = state->table;
    uint8_t front = state->front, second = state->second;
    uint32_t prev = state->prev;
    for (uint32_t i = 0; i < size; i++) {
        uint32_t j = in[i];
        uint8_t c;
        if (j == 0) {
            c = front;
        } else if (j == 1) {
            c = second;
            if (prev != 0) {
                second = front;
                front = c;
            }
        } else {
            // A byte seen again moves to the second place; the front stays.
            c = mtf_table[j];
            move_places_up(mtf_table, j, second);
            second = c;
        }
        out[i] = c;
        prev = j;
    }
    state->front = front;
    state->second = second;
    state->prev = prev;
}

void mtf_decode2(const uint8_t* in, uint8_t* out, uint32_t size) {
    MtfState state;
    mtf_start_chunk(&state);
    mtf_decode_part(&state, in, out, size);
}
