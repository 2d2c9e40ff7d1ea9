// Block sorting by suffix sorting: the suffixes of the block written twice
// that start in its first half come out in the order of the block's cyclic
// rotations, because two different rotations differ within their first `size`
// bytes and every such suffix is longer than that.
#include "codec/BlockSorting_writer.h"

#include <stdlib.h>
#include <string.h>

#include <divsufsort.h>

bool blocksort_work_init(BlockSortWork* work) {
    work->doubled = (uint8_t*)malloc(2 * (size_t)BS_BUF_SIZE);
    work->suffixes = (int32_t*)malloc(2 * (size_t)BS_BUF_SIZE * sizeof(int32_t));
    if (work->doubled && work->suffixes) return true;
    blocksort_work_free(work);
    return false;
}

void blocksort_work_free(BlockSortWork* work) {
    free(work->doubled);
    free(work->suffixes);
    work->doubled = NULL;
    work->suffixes = NULL;
}

static void put24(uint8_t* at, uint32_t value) {
    at[0] = (uint8_t)((value >> 16) & 0xFF);
    at[1] = (uint8_t)((value >> 8) & 0xFF);
    at[2] = (uint8_t)(value & 0xFF);
}

int32_t blocksort_encode2(const uint8_t* block, uint32_t size, uint8_t* stored,
                          BlockSortWork* work) {
    if (size == 0 || size > BS_BUF_SIZE) return -1;
    uint32_t doubled_size = 2 * size;
    memcpy(work->doubled, block, size);
    memcpy(work->doubled + size, block, size);
    if (divsufsort(work->doubled, work->suffixes, (saidx_t)doubled_size) != 0) return -1;

    // Equal rotations (a periodic block) come out in some order among
    // themselves; any order restores the same bytes, as long as `top` names
    // one of the rotations equal to the block itself.
    uint8_t* last_column = stored + BS_HEADER_SIZE;
    int32_t top = -1;
    uint32_t rank = 0;
    for (uint32_t i = 0; i < doubled_size; i++) {
        uint32_t start = (uint32_t)work->suffixes[i];
        if (start >= size) continue;
        if (start == 0) top = (int32_t)rank;
        last_column[rank++] = block[start == 0 ? size - 1 : start - 1];
    }
    if (rank != size || top < 0) return -1;
    put24(stored, (uint32_t)top);
    put24(stored + 3, size);
    return top;
}

bool blocksort_encode_buffer(const uint8_t* data, size_t size, std::vector<uint8_t>* stream) {
    stream->clear();
    BlockSortWork work;
    if (!blocksort_work_init(&work)) return false;
    bool ok = true;
    for (size_t offset = 0; offset < size && ok; offset += BS_BUF_SIZE) {
        uint32_t n = (uint32_t)(size - offset < BS_BUF_SIZE ? size - offset : BS_BUF_SIZE);
        size_t at = stream->size();
        stream->resize(at + BS_HEADER_SIZE + n);
        ok = blocksort_encode2(data + offset, n, stream->data() + at, &work) >= 0;
    }
    blocksort_work_free(&work);
    return ok;
}
