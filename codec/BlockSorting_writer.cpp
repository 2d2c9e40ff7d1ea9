// Block sorting by suffix sorting. A block's rotations are those of its least
// rotation. When that is not a power of a shorter word it is a Lyndon word,
// whose suffixes sort in the order of its rotations, so sorting its n
// suffixes is enough. A periodic block is written twice instead: the suffixes
// of the doubled block that start in its first half come out in the order of
// the rotations, because two different rotations differ within their first
// `size` bytes and every such suffix is longer than that.
#include "codec/BlockSorting_writer.h"
#include "platform/byte_order.h"

#include <stdlib.h>
#include <string.h>

#include <divsufsort.h>

Status blocksort_work_init(BlockSortWork* work) {
    work->doubled = (uint8_t*)malloc(2 * (size_t)BS_BUF_SIZE);
    work->suffixes = (int32_t*)malloc(2 * (size_t)BS_BUF_SIZE * sizeof(int32_t));
    if (work->doubled && work->suffixes) return STATUS_OK;
    blocksort_work_free(work);
    return Failed(CAUSE_NO_MEMORY);
}

void blocksort_work_free(BlockSortWork* work) {
    free(work->doubled);
    free(work->suffixes);
    work->doubled = NULL;
    work->suffixes = NULL;
}

// The start of the block's least rotation, in linear time: i and j are the
// two best starts still possible, compared over k bytes; a mismatch rules out
// k + 1 starts at once. Stops when both compare equal all round (periodic).
static uint32_t least_rotation(const uint8_t* block, uint32_t size) {
    uint32_t i = 0, j = 1, k = 0;
    while (i < size && j < size && k < size) {
        uint32_t a = i + k, b = j + k;
        uint8_t at_i = block[a < size ? a : a - size];
        uint8_t at_j = block[b < size ? b : b - size];
        if (at_i == at_j) {
            k++;
            continue;
        }
        if (at_i > at_j) {
            i += k + 1;
        } else {
            j += k + 1;
        }
        if (i == j) j++;
        k = 0;
    }
    return i < j ? i : j;
}

// True when `word`, its own least rotation, is a Lyndon word: Duval's scan
// runs to the end with a period of the whole length.
static bool is_lyndon_word(const uint8_t* word, uint32_t size) {
    uint32_t k = 0;
    for (uint32_t j = 1; j < size; j++) {
        if (word[k] < word[j]) {
            k = 0;
        } else if (word[k] == word[j]) {
            k++;
        } else {
            return false;
        }
    }
    return k == 0;
}

// The rotations of a Lyndon word `word` (the block rotated left by `shift`)
// in the order of its suffixes.
static int32_t sort_lyndon_rotations(const uint8_t* word, uint32_t size, uint32_t shift,
                                     uint8_t* last_column, int32_t* suffixes) {
    if (divsufsort(word, suffixes, (saidx_t)size) != 0) return -1;
    uint32_t own_start = shift == 0 ? 0 : size - shift;  // where the block starts in `word`
    int32_t top = -1;
    for (uint32_t rank = 0; rank < size; rank++) {
        uint32_t start = (uint32_t)suffixes[rank];
        if (start == own_start) top = (int32_t)rank;
        last_column[rank] = word[start == 0 ? size - 1 : start - 1];
    }
    return top;
}

// The rotations of any block, through the suffixes of the block written twice.
static int32_t sort_doubled_rotations(const uint8_t* block, uint32_t size, uint8_t* last_column,
                                      BlockSortWork* work) {
    uint32_t doubled_size = 2 * size;
    memcpy(work->doubled, block, size);
    memcpy(work->doubled + size, block, size);
    if (divsufsort(work->doubled, work->suffixes, (saidx_t)doubled_size) != 0) return -1;
    // Equal rotations come out in some order among themselves; any order
    // restores the same bytes, as long as `top` names one of the rotations
    // equal to the block itself.
    int32_t top = -1;
    uint32_t rank = 0;
    for (uint32_t i = 0; i < doubled_size; i++) {
        uint32_t start = (uint32_t)work->suffixes[i];
        if (start >= size) continue;
        if (start == 0) top = (int32_t)rank;
        last_column[rank++] = block[start == 0 ? size - 1 : start - 1];
    }
    return rank == size ? top : -1;
}

int32_t blocksort_encode2(const uint8_t* block, uint32_t size, uint8_t* stored,
                          BlockSortWork* work) {
    if (size == 0 || size > BS_BUF_SIZE) return -1;
    uint8_t* last_column = stored + BS_HEADER_SIZE;
    uint32_t shift = least_rotation(block, size);
    uint8_t* word = work->doubled;
    memcpy(word, block + shift, size - shift);
    memcpy(word + size - shift, block, shift);
    int32_t top = is_lyndon_word(word, size)
                      ? sort_lyndon_rotations(word, size, shift, last_column, work->suffixes)
                      : sort_doubled_rotations(block, size, last_column, work);
    if (top < 0) return -1;
    Store24BE(stored, (uint32_t)top);
    Store24BE(stored + 3, size);
    return top;
}
