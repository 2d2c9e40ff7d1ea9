#include "decoder/decode_chain.h"

#include "codec/012coding.h"
#include "codec/BlockSorting.h"
#include "codec/MoveToFront.h"
#include "codec/RunLength.h"
#include "decoder/stage_files.h"

uint64_t Stage1OutputBound(uint32_t originalSize) {
    // Run-length blocks: every RLE_BUF_SIZE bytes of the entry, the last one
    // shorter. A block's coded data is longest when every run is four equal
    // bytes with a count of 0: five coded bytes for four.
    uint64_t runs = 0;
    for (uint64_t left = originalSize; left > 0;) {
        uint64_t block = left < RLE_BUF_SIZE ? left : RLE_BUF_SIZE;
        runs += RLE_HEADER_SIZE + 5 * (block / 4) + block % 4;
        left -= block;
    }
    // Block-sorted blocks: every BS_BUF_SIZE bytes of that, each behind its header.
    uint64_t blocks = (runs + BS_BUF_SIZE - 1) / BS_BUF_SIZE;
    return runs + BS_HEADER_SIZE * blocks;
}

DecodeResult CopyStoredBytes(FileHandle archive, FileHandle first, uint32_t storedSize,
                             uint8_t* buffer) {
    int64_t start = SetFilePointer64(archive, 0, FILE_CURRENT);
    DecodeResult result = DECODE_OK;
    uint32_t n = storedSize;
    uint32_t got = 0;
    for (;;) {
        uint32_t piece = n > COPY_BUF_SIZE ? COPY_BUF_SIZE : n;
        // A short read is left to the stages to judge: the record was checked
        // against the file's size before.
        if (!ReadBytes(archive, buffer, piece, &got)) {
            result = DECODE_READ_FAILED;
            break;
        }
        if (!WriteBytes(first, buffer, piece)) {
            result = DECODE_WRITE_FAILED;
            break;
        }
        if (piece == n) break;
        n -= piece;
    }
    // Whatever was copied, the next record starts right behind the stored bytes.
    if (start < 0 || SetFilePointer64(archive, start + (int64_t)storedSize, FILE_BEGIN) < 0)
        return DECODE_READ_FAILED;
    return result;
}

DecodeResult CopyIntoWorkFile(FileHandle archive, FileHandle first, uint32_t storedSize) {
    uint8_t* buffer = (uint8_t*)AllocHeapMemory(COPY_BUF_SIZE);
    if (!buffer) {
        SetFilePointer64(archive, storedSize, FILE_CURRENT);
        return DECODE_NO_MEMORY;
    }
    DecodeResult result = CopyStoredBytes(archive, first, storedSize, buffer);
    FreeHeapMemory(buffer);
    return result;
}

DecodeResult DecodeWorkFiles(FileHandle first, FileHandle second, const StoredEntry& entry,
                             MessagePump pump) {
    DecodeResult result = coding012_decode(first, second, entry.oddRescale ? 1 : 0, pump,
                                           Stage1OutputBound(entry.originalSize));
    if (result != DECODE_OK) return result;
    result = mtf_decode(second, first, pump);
    if (result != DECODE_OK) return result;
    result = blocksort_decode(first, second, pump);
    if (result != DECODE_OK) return result;
    uint64_t expanded = 0;
    result = rle_expanded_size(second, &expanded);
    if (result != DECODE_OK) return result;
    return expanded == entry.originalSize ? DECODE_OK : DECODE_DAMAGED;
}

DecodeResult ExpandWorkFile(FileHandle second, FileHandle target, MessagePump pump) {
    return rle_decode(second, target, pump);
}
