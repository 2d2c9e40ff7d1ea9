// Stage 3: inverse block sorting. Each block is restored in linear time from
// its last column by a stable counting sort and one walk.
#include "codec/BlockSorting.h"
#include "codec/stage_files.h"
#include "platform/byte_order.h"

void blocksort_read_header(const uint8_t header[BS_HEADER_SIZE], uint32_t* top, uint32_t* size) {
    *top = Load24BE(header);
    *size = Load24BE(header + 3);
}

void blocksort_restore(const uint8_t* last_column, uint8_t* output, uint32_t top, uint32_t size,
                       uint32_t* index_table, MessagePump pump) {
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

    // Entry at p = (next position << 8) | byte at that position. Every entry
    // holds a position below `size`, so the walk stays inside the table.
    uint32_t entry = index_table[top];
    for (uint32_t i = 0; i < size; i++) {
        output[i] = (uint8_t)entry;
        entry = index_table[entry >> 8];
    }
}

DecodeResult blocksort_decode2(const uint8_t* last_column, uint8_t* output, uint32_t top,
                               uint32_t size, FileHandle out, MessagePump pump) {
    if (!blocksort_block_ok(top, size)) return DECODE_DAMAGED;
    uint32_t* index_table = (uint32_t*)AllocZeroedMemory(sizeof(uint32_t) * (size_t)size);
    if (!index_table) return DECODE_NO_MEMORY;
    blocksort_restore(last_column, output, top, size, index_table, pump);
    bool written = WriteBytes(out, output, size);
    FreeZeroedMemory(index_table);
    return written ? DECODE_OK : DECODE_WRITE_FAILED;
}

DecodeResult blocksort_decode(FileHandle in, FileHandle out, MessagePump pump) {
    DecodeResult result = RewindStageFiles(in, out);
    if (result != DECODE_OK) return result;

    uint8_t* in_buffer = (uint8_t*)AllocZeroedMemory(BS_IN_BUF_SIZE);
    uint8_t* out_buffer = (uint8_t*)AllocZeroedMemory(BS_BUF_SIZE);
    result = DECODE_NO_MEMORY;
    if (in_buffer && out_buffer) {
        for (;;) {
            uint8_t header[BS_HEADER_SIZE];
            uint32_t got = 0;
            if (!ReadBytes(in, header, 1, &got)) {
                result = DECODE_READ_FAILED;
                break;
            }
            if (got == 0) {  // the end of the input where a block would start
                result = DECODE_OK;
                break;
            }
            if (!ReadBytes(in, header + 1, BS_HEADER_SIZE - 1, &got)) {
                result = DECODE_READ_FAILED;
                break;
            }
            if (got != BS_HEADER_SIZE - 1) {
                result = DECODE_DAMAGED;
                break;
            }
            uint32_t top, size;
            blocksort_read_header(header, &top, &size);
            // An empty block ends the stream; it carries nothing to restore.
            if (size == 0) {
                result = DECODE_OK;
                break;
            }
            if (!blocksort_block_ok(top, size)) {
                result = DECODE_DAMAGED;
                break;
            }
            if (!ReadBytes(in, in_buffer, size, &got)) {
                result = DECODE_READ_FAILED;
                break;
            }
            if (got != size) {
                result = DECODE_DAMAGED;
                break;
            }
            result = blocksort_decode2(in_buffer, out_buffer, top, size, out, pump);
            if (result != DECODE_OK) break;
            CallPump(pump);
            if (size != BS_BUF_SIZE) break;
        }
    }
    FreeZeroedMemory(in_buffer);
    FreeZeroedMemory(out_buffer);
    return result;
}
