// Stage 3: inverse block sorting. Each block is restored in linear time from
// its last column by ranking its bytes and one walk.
#include "codec/BlockSorting.h"
#include "platform/byte_order.h"

#include <string.h>

void blocksort_read_header(const uint8_t header[BS_HEADER_SIZE], uint32_t* top, uint32_t* size) {
    *top = Load24BE(header);
    *size = Load24BE(header + 3);
}

// The restore walks the block backwards, from its last byte, over a mapping
// that is built as the last column arrives: entry p holds the byte at p and,
// above it, its rank (how many equal bytes come before p). The row that
// precedes row p in the text is first_row[byte] + rank, where first_row is
// where the byte's run starts in the sorted first column, known once the
// block is complete. Building the mapping is thus one pass in order, which a
// caller can make piece by piece while the rest of the block is still being
// decoded.
//
// A sound block's walk comes back to `top` after exactly `size` steps. Then
// the backward walk gives the bytes that the walk forwards from `top` gives,
// which is what defines the block. A last column from damaged input may make
// the walk close on itself after a number of steps that does not divide the
// size; the two walks differ there, and the block is walked forwards instead.
//
// The walk visits one random place of a 4 MiB table per byte, so a single
// walk waits on memory at every step. Large blocks are therefore walked as
// segments: the walk is cut at BS_SEGMENTS rows (`top`, where it begins, and
// rows spread evenly over the block), and WALK_LANES segments are walked at a
// time, each into a region of scratch memory filled from its end, until it
// reaches the start of another segment. The segments are then put together
// in the order the block's own walk meets them. Segments are independent, so
// two threads can walk a share each.
const int WALK_LANES = 8;
// Marks the entries where a segment starts; an entry is below 2^28.
const uint32_t SEGMENT_START = 0x80000000u;

void blocksort_rank_start(BlockRanks* ranks) { memset(ranks, 0, sizeof *ranks); }

void blocksort_rank_part(BlockRanks* ranks, const uint8_t* part, uint32_t n, uint32_t* work) {
    uint32_t* entry = work + ranks->size;
    for (uint32_t i = 0; i < n; i++) {
        uint32_t b = part[i];
        entry[i] = (ranks->seen[b]++ << 8) | b;
    }
    ranks->size += n;
}

// The row before `row`'s in the text, from its entry.
static inline uint32_t preceding_row(const uint32_t* first_row, uint32_t entry) {
    return first_row[entry & 0xFF] + ((entry & ~SEGMENT_START) >> 8);
}

static void find_first_rows(const BlockRanks* ranks, uint32_t* first_row) {
    uint32_t below = 0;
    for (uint32_t v = 0; v < CODE_SIZE; v++) {
        first_row[v] = below;
        below += ranks->seen[v];
    }
}

// The walk forwards from `top`, for a block whose backward walk does not
// close: the forward mapping (entry r: the position of the byte of rank r in
// the stable sort, shifted up, and the byte) goes into `forward`.
static void walk_forwards(const uint32_t* entries, const uint32_t* first_row, uint32_t top,
                          uint32_t size, uint32_t* forward, uint8_t* output) {
    for (uint32_t p = 0; p < size; p++) {
        uint32_t entry = entries[p] & ~SEGMENT_START;
        forward[preceding_row(first_row, entry)] = (p << 8) | (entry & 0xFF);
    }
    // Every entry holds a position below `size`, so the walk stays inside.
    uint32_t entry = forward[top];
    for (uint32_t k = 0; k < size; k++) {
        output[k] = (uint8_t)entry;
        entry = forward[entry >> 8];
    }
}

// One walk in progress.
struct Lane {
    int segment;     // -1 when the lane has no segment left
    uint32_t at;     // the next row to take
    uint8_t* write;  // one past the next byte's place: the region fills downwards
    uint8_t* region;
};

// The segments one call walks: [next, end), or with `untaken`, the ones it
// takes from there up to end.
struct Share {
    int next;
    int end;
    std::atomic<int>* untaken;
};

static uint8_t* region_end(const BlockRestore* w, int j) {
    return w->scratch + (size_t)(j + 1) * w->capacity;
}

// Gives the lane the next segment of the share, taking its first byte at once
// (its own start is marked like the others); false when none is left.
static bool take_segment(BlockRestore* w, Share* share, Lane* lane) {
    int j =
        share->untaken ? share->untaken->fetch_add(1, std::memory_order_relaxed) : share->next++;
    if (j >= share->end) {
        lane->segment = -1;
        return false;
    }
    uint32_t entry = w->entries[w->segments[j].start];
    lane->segment = j;
    lane->region = region_end(w, j) - w->capacity;
    lane->write = region_end(w, j) - 1;
    *lane->write = (uint8_t)entry;
    lane->at = preceding_row(w->first_row, entry);
    return true;
}

// Records where the lane's segment stopped and gives it the next one.
static bool finish_segment(BlockRestore* w, Share* share, Lane* lane) {
    BlockSegment* s = &w->segments[lane->segment];
    s->length = (uint32_t)(region_end(w, lane->segment) - lane->write);
    s->end = lane->at;
    return take_segment(w, share, lane);
}

// One step of a lane: false when its segment is over (and it has no next one).
static inline bool lane_step(BlockRestore* w, Share* share, Lane* lane) {
    uint32_t entry = w->entries[lane->at];
    if ((entry & SEGMENT_START) || lane->write == lane->region)
        return finish_segment(w, share, lane);
    *--lane->write = (uint8_t)entry;
    lane->at = preceding_row(w->first_row, entry);
    return true;
}

static int segment_starting_at(const BlockRestore* w, uint32_t row) {
    int j = 0;
    while (w->segments[j].start != row) j++;
    return j;
}

void blocksort_restore_begin(BlockRestore* w, const BlockRanks* ranks, uint32_t top,
                             uint32_t* work) {
    const uint32_t size = ranks->size;
    find_first_rows(ranks, w->first_row);
    w->entries = work;
    w->scratch = (uint8_t*)(work + size);
    w->size = size;
    w->top = top;
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
    for (int j = 0; j < w->count; j++) work[w->segments[j].start] |= SEGMENT_START;
    w->untaken.store(0, std::memory_order_relaxed);
}

static void walk_segments(BlockRestore* w, Share share) {
    Lane lanes[WALK_LANES];
    int busy = 0;
    for (int l = 0; l < WALK_LANES; l++) busy += take_segment(w, &share, &lanes[l]);
    // All lanes in step while all have work; then the ones left, still in
    // step: segments differ in length, and a lane walked on its own waits
    // out every load.
    while (busy == WALK_LANES) {
        for (int l = 0; l < WALK_LANES; l++) busy -= !lane_step(w, &share, &lanes[l]);
    }
    while (busy > 0) {
        for (int l = 0; l < WALK_LANES; l++)
            if (lanes[l].segment >= 0) busy -= !lane_step(w, &share, &lanes[l]);
    }
}

void blocksort_restore_walk_share(BlockRestore* w, int share_index, int shares) {
    walk_segments(
        w, {w->count * share_index / shares, w->count * (share_index + 1) / shares, nullptr});
}

void blocksort_restore_walk_some(BlockRestore* w) { walk_segments(w, {0, w->count, &w->untaken}); }

void blocksort_restore_end(BlockRestore* w, uint8_t* output) {
    // Put the segments together from the one at `top`, from the block's end
    // down. A segment whose region filled up is continued by a plain walk to
    // the next start. A block made of a repeated pattern walks a shorter
    // cycle, which leads back to `top`: the segments then repeat until the
    // block is full.
    const uint32_t* entries = w->entries;
    uint8_t* out = output + w->size;
    uint32_t remaining = w->size;
    uint32_t at = w->top;  // the row the walk takes next
    int j = 0;
    for (;;) {
        const BlockSegment& s = w->segments[j];
        uint32_t length = s.length < remaining ? s.length : remaining;
        out -= length;
        memcpy(out, region_end(w, j) - length, length);
        remaining -= length;
        // A segment cut short stops at a row inside it, never at `top`.
        at = length == s.length ? s.end : w->size;
        uint32_t entry;
        while (remaining > 0 && !((entry = entries[at]) & SEGMENT_START)) {
            *--out = (uint8_t)entry;
            at = preceding_row(w->first_row, entry);
            remaining--;
        }
        if (remaining == 0) break;
        j = segment_starting_at(w, at);
    }
    for (int k = 0; k < w->count; k++) w->entries[w->segments[k].start] &= ~SEGMENT_START;
    if (at != w->top)
        walk_forwards(entries, w->first_row, w->top, w->size, (uint32_t*)w->scratch, output);
}

// Walks a ranked block, in segments or in one walk.
static void walk_ranked(const BlockRanks* ranks, uint8_t* output, uint32_t top, uint32_t* work,
                        bool in_segments) {
    if (in_segments) {
        BlockRestore restore;
        blocksort_restore_begin(&restore, ranks, top, work);
        blocksort_restore_walk_share(&restore, 0, 1);
        blocksort_restore_end(&restore, output);
        return;
    }
    const uint32_t size = ranks->size;
    uint32_t first_row[CODE_SIZE];
    find_first_rows(ranks, first_row);
    uint32_t at = top;
    for (uint32_t k = size; k-- > 0;) {
        uint32_t entry = work[at];
        output[k] = (uint8_t)entry;
        at = preceding_row(first_row, entry);
    }
    if (at != top) walk_forwards(work, first_row, top, size, work + size, output);
}

void blocksort_restore_ranked(const BlockRanks* ranks, uint8_t* output, uint32_t top,
                              uint32_t* work) {
    walk_ranked(ranks, output, top, work, ranks->size >= BS_SEGMENTED_WALK_MIN);
}

void blocksort_restore_walking(const uint8_t* last_column, uint8_t* output, uint32_t top,
                               uint32_t size, uint32_t* work, MessagePump pump, bool in_segments) {
    BlockRanks ranks;
    blocksort_rank_start(&ranks);
    blocksort_rank_part(&ranks, last_column, size, work);
    CallPump(pump);
    walk_ranked(&ranks, output, top, work, in_segments);
}

void blocksort_restore(const uint8_t* last_column, uint8_t* output, uint32_t top, uint32_t size,
                       uint32_t* work, MessagePump pump) {
    blocksort_restore_walking(last_column, output, top, size, work, pump,
                              size >= BS_SEGMENTED_WALK_MIN);
}
