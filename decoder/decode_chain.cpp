#include "decoder/decode_chain.h"

#include "codec/012coding.h"
#include "codec/BlockSorting.h"
#include "codec/MoveToFront.h"
#include "codec/RunLength.h"
#include "decoder/stage_files.h"
#include "payload/records.h"

namespace {

// The longest stage-4 stream of a sound entry: run-length blocks of every
// RLE_BUF_SIZE bytes of the entry, the last one shorter. A block's coded
// data is longest when every run is four equal bytes with a count of 0: five
// coded bytes for four.
uint64_t RunsBound(uint32_t originalSize) {
    uint64_t runs = 0;
    for (uint64_t left = originalSize; left > 0;) {
        uint64_t block = left < RLE_BUF_SIZE ? left : RLE_BUF_SIZE;
        runs += RLE_HEADER_SIZE + 5 * (block / 4) + block % 4;
        left -= block;
    }
    return runs;
}

// The blocks of stage 3 that hold `runs` bytes of its output.
uint64_t SortedBlocks(uint64_t runs) { return (runs + BS_BUF_SIZE - 1) / BS_BUF_SIZE; }

}  // namespace

uint64_t Stage1OutputBound(uint32_t originalSize) {
    // Block-sorted blocks: every BS_BUF_SIZE bytes of stage 4's stream, each
    // behind its header.
    uint64_t runs = RunsBound(originalSize);
    return runs + BS_HEADER_SIZE * SortedBlocks(runs);
}

uint64_t Stage1WorkBound(uint32_t originalSize) {
    // An entry that ends on a full run-length block ends only where stage 3's
    // output does: stage 4 must also see what follows, a whole block (the
    // entry is then too long) or the end of the stream.
    uint64_t runs = RunsBound(originalSize);
    if (originalSize % RLE_BUF_SIZE == 0) runs += RLE_HEADER_SIZE + RLE_IN_BUF_SIZE;
    // Stage 3 gives its output a whole block at a time, and a block may
    // carry data behind stage 4's stream: one block more than those that
    // hold it.
    return (SortedBlocks(runs) + 1) * (BS_BUF_SIZE + BS_HEADER_SIZE);
}

Status CopyStoredBytes(FileHandle archive, FileHandle first, uint32_t storedSize, uint8_t* buffer) {
    int64_t start = SetFilePointer64(archive, 0, FILE_CURRENT);
    Status result = STATUS_OK;
    uint32_t n = storedSize;
    uint32_t got = 0;
    for (;;) {
        uint32_t piece = n > COPY_BUF_SIZE ? COPY_BUF_SIZE : n;
        // A short read is left to the stages to judge: the record was checked
        // against the file's size before.
        result = ReadBytes(archive, buffer, piece, &got);
        if (result.ok()) result = WriteBytes(first, buffer, piece);
        if (!result.ok() || piece == n) break;
        n -= piece;
    }
    // Whatever was copied, the next record starts right behind the stored bytes.
    if (start < 0 || SetFilePointer64(archive, start + (int64_t)storedSize, FILE_BEGIN) < 0)
        return Failed(CAUSE_READ_FAILED);
    return result;
}

Status CopyIntoWorkFile(FileHandle archive, FileHandle first, uint32_t storedSize) {
    uint8_t* buffer = (uint8_t*)AllocHeapMemory(COPY_BUF_SIZE);
    if (!buffer) {
        SetFilePointer64(archive, storedSize, FILE_CURRENT);
        return Failed(CAUSE_NO_MEMORY);
    }
    Status result = CopyStoredBytes(archive, first, storedSize, buffer);
    FreeHeapMemory(buffer);
    return result;
}

namespace {

// Stage 3's block structure over stage 2's output, without restoring any block.
struct SortedBlockWalk {
    MtfState mtf;
    uint64_t position;  // bytes of stage-1 output seen, from the stream's start
    uint8_t header[BS_HEADER_SIZE];
    uint32_t header_fill;
    uint32_t block_left;  // bytes of the current block still to come
    bool last_block;      // the current block is the stream's last
    bool ended;           // the last block is complete: the rest is ignored
};

// CAUSE_DAMAGED when a block header lies outside the format.
Status WalkSortedBlocks(SortedBlockWalk* walk, uint8_t* values, uint32_t size) {
    while (size > 0 && !walk->ended) {
        // Stage 2 starts a fresh table every MTF_BUF_SIZE bytes of the stream.
        uint32_t in_chunk = MTF_BUF_SIZE - (uint32_t)(walk->position % MTF_BUF_SIZE);
        uint32_t n = size < in_chunk ? size : in_chunk;
        if (walk->position % MTF_BUF_SIZE == 0) mtf_start_chunk(&walk->mtf);
        mtf_decode_part(&walk->mtf, values, values, n);
        walk->position += n;
        const uint8_t* data = values;
        values += n;
        size -= n;
        while (n > 0 && !walk->ended) {
            if (walk->block_left > 0) {
                uint32_t skip = n < walk->block_left ? n : walk->block_left;
                data += skip;
                n -= skip;
                walk->block_left -= skip;
                if (walk->block_left == 0 && walk->last_block) walk->ended = true;
                continue;
            }
            walk->header[walk->header_fill++] = *data++;
            n--;
            if (walk->header_fill < BS_HEADER_SIZE) continue;
            walk->header_fill = 0;
            uint32_t top, block;
            blocksort_read_header(walk->header, &top, &block);
            // An empty block ends the stream, as a short one does.
            if (block == 0) {
                walk->ended = true;
            } else {
                if (!blocksort_block_ok(top, block)) return Failed(CAUSE_DAMAGED);
                walk->block_left = block;
                walk->last_block = block != BS_BUF_SIZE;
            }
        }
    }
    return STATUS_OK;
}

}  // namespace

Status ReadStoredBytes(void* context, uint8_t* buffer, uint32_t room, uint32_t* got) {
    StoredBytesReader* reader = (StoredBytesReader*)context;
    uint32_t want = room < reader->left ? room : reader->left;
    *got = 0;
    if (want == 0) return STATUS_OK;
    Status read = ReadBytes(reader->archive, buffer, want, got);
    if (read.ok()) reader->left -= *got;
    return read;
}

Status FollowWholeStream(StoredBytesAt stored, const StoredEntry& entry, MessagePump pump) {
    if (SetFilePointer64(stored.file, stored.at, FILE_BEGIN) != stored.at)
        return Failed(CAUSE_READ_FAILED);
    const uint32_t input_size = 0x10000;
    uint8_t* input = (uint8_t*)AllocZeroedMemory(input_size);
    uint8_t* values = (uint8_t*)AllocZeroedMemory(STAGE1_PUMP_INTERVAL);
    SortedBlockWalk* walk = (SortedBlockWalk*)AllocZeroedMemory(sizeof(SortedBlockWalk));
    StoredBytesReader reader = {stored.file, entry.storedSize};
    Stage1Decoder decoder;
    Status result = Failed(CAUSE_NO_MEMORY);
    if (input && values && walk) {
        result = stage1_start(&decoder, entry.odd_rescale ? 1 : 0, ReadStoredBytes, &reader, input,
                              input_size);
        bool started = result.ok(), finished = false;
        while (result.ok() && !finished) {
            uint32_t produced = 0;
            result = stage1_decode(&decoder, values, STAGE1_PUMP_INTERVAL, &produced, &finished);
            if (result.ok()) result = WalkSortedBlocks(walk, values, produced);
            CallPump(pump);
        }
        if (result.ok() && !walk->ended && (walk->header_fill != 0 || walk->block_left != 0))
            result = Failed(CAUSE_DAMAGED);
        if (started) stage1_release(&decoder);
    }
    FreeZeroedMemory(input);
    FreeZeroedMemory(values);
    FreeZeroedMemory(walk);
    return result;
}

Status DecodeWorkFiles(FileHandle first, FileHandle second, const StoredEntry& entry,
                       MessagePump pump, StoredBytesAt stored) {
    bool stopped = false;
    Status result = coding012_decode(first, second, entry.odd_rescale ? 1 : 0, pump,
                                     Stage1WorkBound(entry.originalSize), NULL, &stopped);
    if (!result.ok()) return result;
    result = mtf_decode(second, first, pump);
    if (!result.ok()) return result;
    Status sorted = blocksort_decode(first, second, pump);
    // Where stage 1 stopped at the work bound, a block may be cut short.
    if (!sorted.ok() && !(stopped && sorted.cause == CAUSE_DAMAGED)) return sorted;
    // An entry that ends on a full run-length block ends where stage 3 does.
    if (!sorted.ok() && entry.originalSize % RLE_BUF_SIZE == 0) return sorted;
    uint64_t expanded = 0;
    result = rle_expanded_size(second, &expanded);
    if (!result.ok()) return result;
    if (expanded != entry.originalSize) return Failed(CAUSE_DAMAGED);
    // Stopped, the later stages have decided the entry as sound so far: stage
    // 3 ended, or stage 4 ended on its short block. A reader that kept all
    // of stage 1's output would still decode the stream to its end.
    return stopped ? FollowWholeStream(stored, entry, pump) : STATUS_OK;
}

Status ExpandWorkFile(FileHandle second, FileHandle target, MessagePump pump) {
    return rle_decode(second, target, pump);
}

StoredEntry StoredEntryOf(uint32_t storedSize, uint32_t originalSize, uint16_t attributeWord) {
    return StoredEntry{storedSize, originalSize, (attributeWord & ODD_RESCALE) != 0};
}
