// Stage 4: run-length expansion, block by block with fresh run state.
#include "codec/RunLength.h"
#include "codec/stage_files.h"
#include "platform/byte_order.h"

#include <string.h>

uint32_t rle_read_header(const uint8_t header[RLE_HEADER_SIZE]) { return Load24LE(header); }

// True when some byte of v is zero. The lowest byte flagged is the first
// zero byte; only bytes above it can be flagged wrongly.
static inline uint64_t zero_bytes(uint64_t v) {
    return (v - 0x0101010101010101ull) & ~v & 0x8080808080808080ull;
}

// True when none of the 8 positions from p starts four equal bytes (p[0..10]
// must be readable): then those 8 bytes stand for themselves.
static inline bool eight_without_run(const uint8_t* p) {
    uint64_t x = Load64LE(p);
    uint64_t differs = (x ^ Load64LE(p + 1)) | (x ^ Load64LE(p + 2)) | (x ^ Load64LE(p + 3));
    return zero_bytes(differs) == 0;
}

int32_t rle_decode2(const uint8_t* in, uint8_t* out, uint32_t size, int n) {
    return rle_decode_within(in, out, size, n, RLE_BUF_SIZE);
}

int32_t rle_decode_within(const uint8_t* in, uint8_t* out, uint32_t size, int n, uint32_t room) {
    if (n < 1) return -1;
    const uint8_t* p = in;
    const uint8_t* end = in + size;
    uint32_t written = 0;
    // The output limit is checked before anything is written, so nothing
    // can reach past the output buffer.
    while (p < end) {
        // Bytes outside runs of n stand for themselves: with the usual n of
        // 4, they are taken 8 at a time while no run of four starts among
        // them (a shorter run of equal bytes is copied as it is, too).
        if (n == RLE_THRESHOLD) {
            while (end - p >= 11 && room - written >= 8 && eight_without_run(p)) {
                if (out) memcpy(out + written, p, 8);
                p += 8;
                written += 8;
            }
            if (p == end) break;
        }
        uint8_t c = *p++;
        uint32_t k = 1;
        while (p < end && k < (uint32_t)n && *p == c) {
            k++;
            p++;
        }
        if (k == (uint32_t)n) {
            if (p == end) return -1;  // the count byte lies past the block end
            k += *p++;
        }
        if (k > room - written) return -1;
        if (out) memset(out + written, c, k);
        written += k;
    }
    return (int32_t)written;
}

// Reads one block's header and coded data: DECODE_OK with the block in
// `buffer`, or *at_end at the clean end of the input (no header byte left).
static DecodeResult read_block(FileHandle in, uint8_t* buffer, uint32_t room, uint32_t* beforesize,
                               bool* at_end) {
    uint8_t header[RLE_HEADER_SIZE];
    uint32_t got = 0;
    *at_end = false;
    if (!ReadBytes(in, header, RLE_HEADER_SIZE, &got)) return DECODE_READ_FAILED;
    if (got == 0) {
        *at_end = true;
        return DECODE_OK;
    }
    if (got != RLE_HEADER_SIZE) return DECODE_DAMAGED;
    uint32_t size = rle_read_header(header);
    // A block longer than the buffer is longer than the input: it cannot be there in whole.
    if (!rle_block_size_ok(size) || size > room) return DECODE_DAMAGED;
    if (!ReadBytes(in, buffer, size, &got)) return DECODE_READ_FAILED;
    if (got != size) return DECODE_DAMAGED;
    *beforesize = size;
    return DECODE_OK;
}

// Walks the blocks of `in`, writing each expansion to `out` unless it is
// NO_FILE, and adds the bytes expanded to *expanded.
static DecodeResult expand_blocks(FileHandle in, FileHandle out, MessagePump pump,
                                  uint64_t* expanded) {
    // Room for the largest block the input can hold, and for its expansion:
    // five coded bytes give at most 259.
    const uint32_t in_room = BufferFor(in, RLE_IN_BUF_SIZE);
    const uint32_t out_room = (uint64_t)in_room * 52 < RLE_BUF_SIZE ? in_room * 52 : RLE_BUF_SIZE;
    uint8_t* in_buffer = (uint8_t*)AllocZeroedMemory(in_room);
    uint8_t* out_buffer = out != NO_FILE ? (uint8_t*)AllocZeroedMemory(out_room) : NULL;
    DecodeResult result = DECODE_NO_MEMORY;
    *expanded = 0;
    if (in_buffer && (out == NO_FILE || out_buffer)) {
        for (;;) {
            uint32_t beforesize = 0;
            bool at_end = false;
            result = read_block(in, in_buffer, in_room, &beforesize, &at_end);
            // A clean end comes only after a block of exactly RLE_BUF_SIZE bytes.
            if (result != DECODE_OK || at_end) break;
            int32_t aftersize =
                rle_decode_within(in_buffer, out_buffer, beforesize, RLE_THRESHOLD, out_room);
            if (aftersize < 0) {
                result = DECODE_DAMAGED;
                break;
            }
            if (out != NO_FILE) {
                if (!WriteBytes(out, out_buffer, (uint32_t)aftersize)) {
                    result = DECODE_WRITE_FAILED;
                    break;
                }
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

DecodeResult rle_decode(FileHandle in, FileHandle out, MessagePump pump) {
    DecodeResult result = RewindStageFiles(in, out);
    if (result != DECODE_OK) return result;
    uint64_t expanded = 0;
    return expand_blocks(in, out, pump, &expanded);
}

DecodeResult rle_expanded_size(FileHandle in, uint64_t* expanded) {
    *expanded = 0;
    if (SetFilePointer64(in, 0, FILE_BEGIN) != 0) return DECODE_READ_FAILED;
    return expand_blocks(in, NO_FILE, NO_PUMP, expanded);
}
