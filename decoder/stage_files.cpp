// The stage drivers over work files: read a stage's input from a file in
// pieces, run the codec's transform, write the output, call the pump.
#include "decoder/stage_files.h"

#include "codec/012coding.h"
#include "codec/BlockSorting.h"
#include "codec/MoveToFront.h"
#include "codec/RunLength.h"

// Puts the input at its start and empties the output, so a work file can be
// reused as a later stage's output without being emptied by the caller.
static Status RewindStageFiles(FileHandle in, FileHandle out) {
    if (SetFilePointer64(in, 0, FILE_BEGIN) != 0) return Failed(CAUSE_READ_FAILED);
    if (SetFilePointer64(out, 0, FILE_BEGIN) != 0) return Failed(CAUSE_WRITE_FAILED);
    return TruncateHere(out);
}

// The room a stage's buffer needs for the input file `in`: `largest`, or less
// when the whole file is smaller (at least one byte). A buffer's size decides
// only how a stage reads, never what it decodes, and a small entry should not
// take megabytes.
static uint32_t BufferFor(FileHandle in, uint32_t largest) {
    uint64_t size = GetFileSize64(in);  // all bits set when unknown: the largest
    if (size >= largest) return largest;
    return size > 0 ? (uint32_t)size : 1;
}

Status RefillFromFile(void* context, uint8_t* buffer, uint32_t room, uint32_t* got) {
    return ReadBytes(*(FileHandle*)context, buffer, room, got);
}

// ---------------------------------------------------------------------------
// Stage 1

// Buffers and tables of one run, released together on every way out.
struct Stage1Resources {
    uint8_t* LBuffer;
    uint8_t* SBuffer;
    Stage1Decoder decoder;
    bool started;
    uint32_t* widened_steps;  // the caller's, or NULL
};

static Status finish_stage1(Stage1Resources* res, Status result) {
    if (res->widened_steps) *res->widened_steps = result.ok() ? res->decoder.rc.widened_steps : 0;
    if (res->started) stage1_release(&res->decoder);
    FreeZeroedMemory(res->LBuffer);
    FreeZeroedMemory(res->SBuffer);
    return result;
}

Status coding012_decode(FileHandle in, FileHandle out, int fNewType, MessagePump pump,
                        uint64_t output_limit, uint32_t* widened_steps, bool* stopped) {
    if (widened_steps) *widened_steps = 0;
    if (stopped) *stopped = false;
    // Read once: the size is process-wide and must not change under a run.
    const uint32_t buffer_size = RC_BUF_SIZE;
    if (buffer_size < RC_BUF_SIZE_MIN) return Failed(CAUSE_NO_MEMORY);
    Status rewound = RewindStageFiles(in, out);
    if (!rewound.ok()) return rewound;

    // The buffers need be no larger than the stream and the longest output:
    // their size decides only how the stage reads and writes, and a small
    // entry should not take RC_BUF_SIZE of memory twice over.
    uint64_t stream_size = GetFileSize64(in);
    const uint32_t in_size =
        stream_size < buffer_size
            ? (stream_size < RC_BUF_SIZE_MIN ? RC_BUF_SIZE_MIN : (uint32_t)stream_size)
            : buffer_size;
    const uint32_t out_size =
        output_limit < buffer_size
            ? (output_limit < RC_BUF_SIZE_MIN ? RC_BUF_SIZE_MIN : (uint32_t)output_limit)
            : buffer_size;

    Stage1Resources res = {};
    res.widened_steps = widened_steps;
    res.LBuffer = (uint8_t*)AllocZeroedMemory(in_size);
    res.SBuffer = (uint8_t*)AllocZeroedMemory(out_size);
    if (!res.LBuffer || !res.SBuffer) return finish_stage1(&res, Failed(CAUSE_NO_MEMORY));
    Status started =
        stage1_start(&res.decoder, fNewType, RefillFromFile, &in, res.LBuffer, in_size);
    if (!started.ok()) return finish_stage1(&res, started);
    res.started = true;

    uint8_t* SBuffer = res.SBuffer;
    uint32_t SPos = 0;
    uint64_t total = 0;
    for (;;) {
        uint32_t produced = 0;
        bool finished = false;
        Status result;
        if (SPos == out_size) {
            // A full buffer goes out only when another byte (or EOF) arrives.
            uint8_t next = 0;
            result = stage1_decode(&res.decoder, &next, 1, &produced, &finished);
            if (!result.ok()) return finish_stage1(&res, result);
            result = WriteBytes(out, SBuffer, out_size);
            if (!result.ok() || finished) return finish_stage1(&res, result);
            SPos = 0;
            SBuffer[SPos++] = next;
        } else {
            // Pieces end where the pump is due, so it comes after every
            // STAGE1_PUMP_INTERVAL bytes of the whole stream.
            uint32_t room = out_size - SPos;
            uint32_t to_pump = STAGE1_PUMP_INTERVAL - (uint32_t)(total % STAGE1_PUMP_INTERVAL);
            if (room > to_pump) room = to_pump;
            result = stage1_decode(&res.decoder, SBuffer + SPos, room, &produced, &finished);
            if (!result.ok()) return finish_stage1(&res, result);
            SPos += produced;
        }
        total += produced;
        // Past the limit, the stream is damaged, or the caller decides.
        if (total > output_limit) {
            if (!stopped) return finish_stage1(&res, Failed(CAUSE_DAMAGED));
            *stopped = true;
            return finish_stage1(&res, WriteBytes(out, SBuffer, SPos));
        }
        if (finished) return finish_stage1(&res, WriteBytes(out, SBuffer, SPos));
        if (produced && total % STAGE1_PUMP_INTERVAL == 0) CallPump(pump);
    }
}

Status mtf_decode(FileHandle in, FileHandle out, MessagePump pump) {
    Status result = RewindStageFiles(in, out);
    if (!result.ok()) return result;

    // An input smaller than a chunk is one chunk: then its size is room enough.
    const uint32_t room = BufferFor(in, MTF_BUF_SIZE);
    uint8_t* in_buffer = (uint8_t*)AllocZeroedMemory(room);
    uint8_t* out_buffer = (uint8_t*)AllocZeroedMemory(room);
    result = Failed(CAUSE_NO_MEMORY);
    if (in_buffer && out_buffer) {
        for (;;) {
            uint32_t size = 0;
            result = ReadBytes(in, in_buffer, room, &size);
            if (!result.ok()) break;
            mtf_decode2(in_buffer, out_buffer, size);
            result = WriteBytes(out, out_buffer, size);
            if (!result.ok()) break;
            CallPump(pump);
            // A short read is the end of the input: the last chunk is shorter.
            if (size != MTF_BUF_SIZE) break;
        }
    }
    FreeZeroedMemory(in_buffer);
    FreeZeroedMemory(out_buffer);
    return result;
}

Status blocksort_decode2(const uint8_t* last_column, uint8_t* output, uint32_t top, uint32_t size,
                         FileHandle out, MessagePump pump) {
    if (!blocksort_block_ok(top, size)) return Failed(CAUSE_DAMAGED);
    uint32_t* work = (uint32_t*)AllocZeroedMemory(sizeof(uint32_t) * blocksort_work_words(size));
    if (!work) return Failed(CAUSE_NO_MEMORY);
    blocksort_restore(last_column, output, top, size, work, pump);
    Status written = WriteBytes(out, output, size);
    FreeZeroedMemory(work);
    return written;
}

// Reads exactly `size` bytes: CAUSE_DAMAGED when the input ends before.
static Status ReadWhole(FileHandle in, uint8_t* buffer, uint32_t size) {
    uint32_t got = 0;
    Status read = ReadBytes(in, buffer, size, &got);
    if (read.ok() && got != size) return Failed(CAUSE_DAMAGED);
    return read;
}

Status blocksort_decode(FileHandle in, FileHandle out, MessagePump pump) {
    Status result = RewindStageFiles(in, out);
    if (!result.ok()) return result;

    // No block is longer than the input holds.
    const uint32_t room = BufferFor(in, BS_BUF_SIZE);
    uint8_t* in_buffer = (uint8_t*)AllocZeroedMemory(room);
    uint8_t* out_buffer = (uint8_t*)AllocZeroedMemory(room);
    result = Failed(CAUSE_NO_MEMORY);
    if (in_buffer && out_buffer) {
        for (;;) {
            uint8_t header[BS_HEADER_SIZE];
            uint32_t got = 0;
            result = ReadBytes(in, header, 1, &got);
            // The end of the input where a block would start is a clean end.
            if (!result.ok() || got == 0) break;
            result = ReadWhole(in, header + 1, BS_HEADER_SIZE - 1);
            if (!result.ok()) break;
            uint32_t top, size;
            blocksort_read_header(header, &top, &size);
            // An empty block ends the stream; it carries nothing to restore.
            if (size == 0) break;
            // A block longer than the input cannot be there in whole.
            if (!blocksort_block_ok(top, size) || size > room) {
                result = Failed(CAUSE_DAMAGED);
                break;
            }
            result = ReadWhole(in, in_buffer, size);
            if (!result.ok()) break;
            result = blocksort_decode2(in_buffer, out_buffer, top, size, out, pump);
            if (!result.ok()) break;
            CallPump(pump);
            if (size != BS_BUF_SIZE) break;
        }
    }
    FreeZeroedMemory(in_buffer);
    FreeZeroedMemory(out_buffer);
    return result;
}

// Reads one block's header and coded data: CAUSE_OK with the block in
// `buffer`, or *at_end at the clean end of the input (no header byte left).
static Status read_block(FileHandle in, uint8_t* buffer, uint32_t room, uint32_t* beforesize,
                         bool* at_end) {
    uint8_t header[RLE_HEADER_SIZE];
    uint32_t got = 0;
    *at_end = false;
    Status read = ReadBytes(in, header, RLE_HEADER_SIZE, &got);
    if (!read.ok()) return read;
    if (got == 0) {
        *at_end = true;
        return STATUS_OK;
    }
    if (got != RLE_HEADER_SIZE) return Failed(CAUSE_DAMAGED);
    uint32_t size = rle_read_header(header);
    // A block longer than the buffer is longer than the input: it cannot be there in whole.
    if (!rle_block_size_ok(size) || size > room) return Failed(CAUSE_DAMAGED);
    read = ReadWhole(in, buffer, size);
    if (read.ok()) *beforesize = size;
    return read;
}

// Walks the blocks of `in`, writing each expansion to `out` unless it is
// NO_FILE, and adds the bytes expanded to *expanded.
static Status expand_blocks(FileHandle in, FileHandle out, MessagePump pump, uint64_t* expanded) {
    // Room for the largest block the input can hold, and for its expansion:
    // five coded bytes give at most 259.
    const uint32_t in_room = BufferFor(in, RLE_IN_BUF_SIZE);
    const uint32_t out_room = (uint64_t)in_room * 52 < RLE_BUF_SIZE ? in_room * 52 : RLE_BUF_SIZE;
    uint8_t* in_buffer = (uint8_t*)AllocZeroedMemory(in_room);
    uint8_t* out_buffer = out != NO_FILE ? (uint8_t*)AllocZeroedMemory(out_room) : NULL;
    Status result = Failed(CAUSE_NO_MEMORY);
    *expanded = 0;
    if (in_buffer && (out == NO_FILE || out_buffer)) {
        for (;;) {
            uint32_t beforesize = 0;
            bool at_end = false;
            result = read_block(in, in_buffer, in_room, &beforesize, &at_end);
            // A clean end comes only after a block of exactly RLE_BUF_SIZE bytes.
            if (!result.ok() || at_end) break;
            int32_t aftersize =
                rle_decode_within(in_buffer, out_buffer, beforesize, RLE_THRESHOLD, out_room);
            if (aftersize < 0) {
                result = Failed(CAUSE_DAMAGED);
                break;
            }
            if (out != NO_FILE) {
                result = WriteBytes(out, out_buffer, (uint32_t)aftersize);
                if (!result.ok()) break;
                CallPump(pump);
            }
            *expanded += (uint32_t)aftersize;
            if ((uint32_t)aftersize != RLE_BUF_SIZE) break;
        }
    }
    FreeZeroedMemory(in_buffer);
    FreeZeroedMemory(out_buffer);
    return result;
}

Status rle_decode(FileHandle in, FileHandle out, MessagePump pump) {
    Status result = RewindStageFiles(in, out);
    if (!result.ok()) return result;
    uint64_t expanded = 0;
    return expand_blocks(in, out, pump, &expanded);
}

Status rle_expanded_size(FileHandle in, uint64_t* expanded) {
    *expanded = 0;
    if (SetFilePointer64(in, 0, FILE_BEGIN) != 0) return Failed(CAUSE_READ_FAILED);
    return expand_blocks(in, NO_FILE, NO_PUMP, expanded);
}
