// Stage 3: inverse block sorting. Each block is restored in linear time from
// its last column by a stable counting sort and one walk.
#include "codec/BlockSorting.h"
#include "codec/stage_files.h"

// The input buffer holds twice a block, so a block's data always fits.
static const uint32_t BS_IN_BUF_SIZE = 2 * BS_BUF_SIZE;

int blocksort_decode2(const uint8_t* last_column, uint8_t* output, uint32_t top, uint32_t size,
                      FileHandle out, MessagePump pump) {
    // Checked once here, so the walk below can index freely: every entry of
    // index_table is a position below `size`.
    if (size == 0 || size > BS_BUF_SIZE || top >= size) return 0;
    uint32_t* index_table = (uint32_t*)AllocZeroedMemory(sizeof(uint32_t) * (size_t)size);
    if (!index_table) return 0;

    uint32_t count[CODE_SIZE] = {};
    for (uint32_t i = 0; i < size; i++) count[last_column[i]]++;
    for (uint32_t v = 1; v < CODE_SIZE; v++) count[v] += count[v - 1];
    // Filling from the end keeps equal bytes in their order of appearance.
    // Each entry carries the position i above the byte L[i] (positions are
    // below 2^20), so the walk takes one memory access per output byte.
    for (uint32_t i = size; i-- > 0;) {
        uint8_t b = last_column[i];
        index_table[--count[b]] = (i << 8) | b;
    }

    CallPump(pump);

    // Entry at p = (next position << 8) | byte at that position.
    uint32_t entry = index_table[top];
    for (uint32_t i = 0; i < size; i++) {
        output[i] = (uint8_t)entry;
        entry = index_table[entry >> 8];
    }
    bool written = WriteBytes(out, output, size);
    FreeZeroedMemory(index_table);
    return written ? 1 : 0;
}

// Reads the 24-bit big-endian value of three header bytes.
static uint32_t be24(const uint8_t* b) {
    return ((uint32_t)b[0] << 16) | ((uint32_t)b[1] << 8) | b[2];
}

int blocksort_decode(FileHandle in, FileHandle out, MessagePump pump) {
    if (!RewindStageFiles(in, out)) return 0;

    uint8_t* in_buffer = (uint8_t*)AllocZeroedMemory(BS_IN_BUF_SIZE);
    uint8_t* out_buffer = (uint8_t*)AllocZeroedMemory(BS_BUF_SIZE);
    int result = 0;
    if (in_buffer && out_buffer) {
        for (;;) {
            uint8_t header[6];
            uint32_t got = 0;
            if (!ReadBytes(in, header, 1, &got)) break;
            if (got == 0) {  // the end of the input where a block would start
                result = 1;
                break;
            }
            if (!ReadBytes(in, header + 1, 5, &got) || got != 5) break;
            uint32_t top = be24(header);
            uint32_t size = be24(header + 3);
            // An empty block ends the stream; it carries nothing to restore.
            if (size == 0) {
                result = 1;
                break;
            }
            if (size > BS_BUF_SIZE || top >= size) break;
            if (!ReadBytes(in, in_buffer, size, &got) || got != size) break;
            if (!blocksort_decode2(in_buffer, out_buffer, top, size, out, pump)) break;
            CallPump(pump);
            if (size != BS_BUF_SIZE) {
                result = 1;
                break;
            }
        }
    }
    FreeZeroedMemory(in_buffer);
    FreeZeroedMemory(out_buffer);
    return result;
}
