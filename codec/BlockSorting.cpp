// Stage 3: inverse block sorting. Each block is restored in linear time from
// its last column by a stable counting sort and one walk.
#include "codec/BlockSorting.h"
#include "codec/stage_files.h"
#include "platform/byte_order.h"

#include <string.h>

void blocksort_read_header(const uint8_t header[BS_HEADER_SIZE], uint32_t* top, uint32_t* size) {
    *top = Load24BE(header);
    *size = Load24BE(header + 3);
}

// The walk over the forward mapping visits one random place of a 4 MiB table
// per byte, so a single walk waits on memory at every step. Large blocks are
// therefore walked as segments: the walk is cut at BS_SEGMENTS places (the
// rank `top`, where the block begins, and ranks spread evenly over the block),
// and WALK_LANES segments are walked at a time, each into a region of scratch
// memory, until it reaches the start of another segment. The segments are
// then put together in the order the block's own walk meets them. Segments
// are independent, so two threads can walk a share each.
const int WALK_LANES = 8;
// Marks the mapping entries where a segment starts; an entry is below 2^28.
const uint32_t SEGMENT_START = 0x80000000u;

// One walk in progress.
struct Lane {
    int segment;  // -1 when the lane has no segment left
    uint32_t at;  // the next entry to take
    uint8_t* write;
    uint8_t* region_end;
};

// The segments a call of blocksort_restore_walk_share walks: [next, end).
struct Share {
    int next;
    int end;
};

// Gives the lane the next segment of the share, taking its first byte at once
// (its own start is marked like the others); false when none is left.
static bool take_segment(BlockRestore* w, Share* share, Lane* lane) {
    if (share->next == share->end) {
        lane->segment = -1;
        return false;
    }
    int j = share->next++;
    uint8_t* region = w->scratch + (size_t)j * w->capacity;
    uint32_t entry = w->forward[w->segments[j].start] & ~SEGMENT_START;
    region[0] = (uint8_t)entry;
    lane->segment = j;
    lane->at = entry >> 8;
    lane->write = region + 1;
    lane->region_end = region + w->capacity;
    return true;
}

// Records where the lane's segment stopped and gives it the next one.
static bool finish_segment(BlockRestore* w, Share* share, Lane* lane) {
    BlockSegment* s = &w->segments[lane->segment];
    s->length = (uint32_t)(lane->write - (w->scratch + (size_t)lane->segment * w->capacity));
    s->end = lane->at;
    return take_segment(w, share, lane);
}

// One step of a lane: false when its segment is over (and it has no next one).
static inline bool lane_step(BlockRestore* w, Share* share, Lane* lane) {
    uint32_t entry = w->forward[lane->at];
    if ((entry & SEGMENT_START) || lane->write == lane->region_end)
        return finish_segment(w, share, lane);
    *lane->write++ = (uint8_t)entry;
    lane->at = entry >> 8;
    return true;
}

static int segment_starting_at(const BlockRestore* w, uint32_t rank) {
    int j = 0;
    while (w->segments[j].start != rank) j++;
    return j;
}

// The forward mapping: entry r is the position in the last column of the byte
// of rank r in its stable sort, shifted up, with the byte at that position
// beside it, so a walk takes one memory access per output byte. Positions are
// below 2^20.
static void map_forward(const uint8_t* last_column, uint32_t size, uint32_t* forward) {
    // Where each byte value's run starts in the sorted first column. Four
    // partial counts, so that runs of one byte (common in a last column) do
    // not wait on their own increments.
    uint32_t partial[4][CODE_SIZE] = {};
    uint32_t i = 0;
    for (; i + 4 <= size; i += 4) {
        partial[0][last_column[i]]++;
        partial[1][last_column[i + 1]]++;
        partial[2][last_column[i + 2]]++;
        partial[3][last_column[i + 3]]++;
    }
    for (; i < size; i++) partial[0][last_column[i]]++;
    uint32_t next_rank[CODE_SIZE];
    uint32_t below = 0;
    for (uint32_t v = 0; v < CODE_SIZE; v++) {
        next_rank[v] = below;
        below += partial[0][v] + partial[1][v] + partial[2][v] + partial[3][v];
    }
    for (uint32_t p = 0; p < size; p++) {
        uint32_t b = last_column[p];
        forward[next_rank[b]++] = (p << 8) | b;
    }
}

// Cuts the walk at `top` and at ranks spread evenly over the block, and marks
// the starts in the mapping.
static void cut_segments(BlockRestore* w, uint32_t* forward, uint8_t* scratch, uint32_t top,
                         uint32_t size) {
    w->forward = forward;
    w->scratch = scratch;
    w->size = size;
    // A block of fewer bytes than BS_SEGMENTS is cut at every byte, so the
    // starts stay distinct and every region holds at least 4 bytes.
    const uint32_t cuts = size < (uint32_t)BS_SEGMENTS ? size : (uint32_t)BS_SEGMENTS;
    w->capacity = 4 * size / cuts;
    w->count = 0;
    w->segments[w->count++].start = top;
    for (uint32_t j = 1; j < cuts; j++) {
        uint32_t start = (uint32_t)((uint64_t)size * j / cuts);
        if (start != top) w->segments[w->count++].start = start;
    }
    for (int j = 0; j < w->count; j++) forward[w->segments[j].start] |= SEGMENT_START;
}

void blocksort_restore_begin(BlockRestore* restore, const uint8_t* last_column, uint32_t top,
                             uint32_t size, uint32_t* work) {
    map_forward(last_column, size, work);
    cut_segments(restore, work, (uint8_t*)(work + size), top, size);
}

void blocksort_restore_walk_share(BlockRestore* w, int share_index, int shares) {
    Share share = {w->count * share_index / shares, w->count * (share_index + 1) / shares};
    Lane lanes[WALK_LANES];
    int busy = 0;
    for (int l = 0; l < WALK_LANES; l++) busy += take_segment(w, &share, &lanes[l]);
    // All lanes in step while all have work; then each finishes on its own.
    while (busy == WALK_LANES) {
        for (int l = 0; l < WALK_LANES; l++) busy -= !lane_step(w, &share, &lanes[l]);
    }
    for (int l = 0; l < WALK_LANES; l++)
        while (lanes[l].segment >= 0 && lane_step(w, &share, &lanes[l])) {
        }
}

void blocksort_restore_end(BlockRestore* w, uint8_t* output) {
    // Put the segments together from the one at `top`. A segment whose
    // region filled up is continued by a plain walk to the next start. A
    // block made of a repeated pattern walks a shorter cycle, which leads
    // back to `top`: the segments then repeat until the block is full.
    const uint32_t* forward = w->forward;
    uint8_t* out = output;
    uint32_t remaining = w->size;
    int j = 0;
    for (;;) {
        const BlockSegment& s = w->segments[j];
        uint32_t length = s.length < remaining ? s.length : remaining;
        memcpy(out, w->scratch + (size_t)j * w->capacity, length);
        out += length;
        remaining -= length;
        uint32_t at = s.end;
        uint32_t entry;
        while (remaining > 0 && !((entry = forward[at]) & SEGMENT_START)) {
            *out++ = (uint8_t)entry;
            at = entry >> 8;
            remaining--;
        }
        if (remaining == 0) break;
        j = segment_starting_at(w, at);
    }
    for (int k = 0; k < w->count; k++) w->forward[w->segments[k].start] &= ~SEGMENT_START;
}

void blocksort_restore_walking(const uint8_t* last_column, uint8_t* output, uint32_t top,
                               uint32_t size, uint32_t* work, MessagePump pump, bool in_segments) {
    uint32_t* forward = work;
    map_forward(last_column, size, forward);

    CallPump(pump);

    if (in_segments) {
        BlockRestore restore;
        cut_segments(&restore, forward, (uint8_t*)(work + size), top, size);
        blocksort_restore_walk_share(&restore, 0, 1);
        blocksort_restore_end(&restore, output);
        return;
    }
    // Every entry holds a position below `size`, so the walk stays inside.
    uint32_t entry = forward[top];
    for (uint32_t k = 0; k < size; k++) {
        output[k] = (uint8_t)entry;
        entry = forward[entry >> 8];
    }
}

void blocksort_restore(const uint8_t* last_column, uint8_t* output, uint32_t top, uint32_t size,
                       uint32_t* work, MessagePump pump) {
    blocksort_restore_walking(last_column, output, top, size, work, pump,
                              size >= BS_SEGMENTED_WALK_MIN);
}

DecodeResult blocksort_decode2(const uint8_t* last_column, uint8_t* output, uint32_t top,
                               uint32_t size, FileHandle out, MessagePump pump) {
    if (!blocksort_block_ok(top, size)) return DECODE_DAMAGED;
    uint32_t* work = (uint32_t*)AllocZeroedMemory(sizeof(uint32_t) * blocksort_work_words(size));
    if (!work) return DECODE_NO_MEMORY;
    blocksort_restore(last_column, output, top, size, work, pump);
    bool written = WriteBytes(out, output, size);
    FreeZeroedMemory(work);
    return written ? DECODE_OK : DECODE_WRITE_FAILED;
}

DecodeResult blocksort_decode(FileHandle in, FileHandle out, MessagePump pump) {
    DecodeResult result = RewindStageFiles(in, out);
    if (result != DECODE_OK) return result;

    // No block is longer than the input holds.
    const uint32_t room = BufferFor(in, BS_BUF_SIZE);
    uint8_t* in_buffer = (uint8_t*)AllocZeroedMemory(room);
    uint8_t* out_buffer = (uint8_t*)AllocZeroedMemory(room);
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
            // A block longer than the input cannot be there in whole.
            if (!blocksort_block_ok(top, size) || size > room) {
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
