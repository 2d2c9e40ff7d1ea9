// Stage 4: run-length expansion, block by block with fresh run state.
#include "codec/RunLength.h"
#include "codec/stage_files.h"

#include <string.h>

// Expands one block, or only measures it when `out` is NULL. -1 when the
// block lies outside the format. The output limit is checked once per run,
// before the run is written, so no run can reach past the output buffer.
static int32_t expand_block(const uint8_t* in, uint8_t* out, uint32_t size, int n) {
    if (n < 1) return -1;
    const uint8_t* p = in;
    const uint8_t* end = in + size;
    uint32_t written = 0;
    while (p < end) {
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
        if (k > RLE_BUF_SIZE - written) return -1;
        if (out) memset(out + written, c, k);
        written += k;
    }
    return (int32_t)written;
}

int32_t rle_decode2(const uint8_t* in, uint8_t* out, uint32_t size, int n) {
    return expand_block(in, out, size, n);
}

// Reads one block's header and coded data. 1 with the block in `buffer`,
// 0 at the clean end of the input (no header byte left), -1 when the block is
// cut short, lies outside the format, or a read fails.
static int read_block(FileHandle in, uint8_t* buffer, uint32_t* beforesize) {
    uint8_t header[3];
    uint32_t got = 0;
    if (!ReadBytes(in, header, 3, &got)) return -1;
    if (got == 0) return 0;
    if (got != 3) return -1;
    uint32_t size = header[0] | ((uint32_t)header[1] << 8) | ((uint32_t)header[2] << 16);
    if (size == 0 || size > RLE_IN_BUF_SIZE) return -1;
    if (!ReadBytes(in, buffer, size, &got) || got != size) return -1;
    *beforesize = size;
    return 1;
}

int rle_decode(FileHandle in, FileHandle out, MessagePump pump) {
    if (!RewindStageFiles(in, out)) return 0;

    uint8_t* in_buffer = (uint8_t*)AllocZeroedMemory(RLE_IN_BUF_SIZE);
    uint8_t* out_buffer = (uint8_t*)AllocZeroedMemory(RLE_BUF_SIZE);
    int result = 0;
    if (in_buffer && out_buffer) {
        for (;;) {
            uint32_t beforesize = 0;
            int got = read_block(in, in_buffer, &beforesize);
            if (got <= 0) {
                // A clean end comes only after a block of exactly RLE_BUF_SIZE bytes.
                result = got == 0 ? 1 : 0;
                break;
            }
            int32_t aftersize = rle_decode2(in_buffer, out_buffer, beforesize, RLE_THRESHOLD);
            if (aftersize < 0) break;
            if (!WriteBytes(out, out_buffer, (uint32_t)aftersize)) break;
            CallPump(pump);
            if ((uint32_t)aftersize != RLE_BUF_SIZE) {
                result = 1;
                break;
            }
        }
    }
    FreeZeroedMemory(in_buffer);
    FreeZeroedMemory(out_buffer);
    return result;
}

int64_t rle_expanded_size(FileHandle in) {
    if (SetFilePointer64(in, 0, FILE_BEGIN) != 0) return -1;
    uint8_t* in_buffer = (uint8_t*)AllocZeroedMemory(RLE_IN_BUF_SIZE);
    if (!in_buffer) return -1;
    int64_t total = -1;
    int64_t sum = 0;
    for (;;) {
        uint32_t beforesize = 0;
        int got = read_block(in, in_buffer, &beforesize);
        if (got <= 0) {
            if (got == 0) total = sum;
            break;
        }
        int32_t aftersize = expand_block(in_buffer, NULL, beforesize, RLE_THRESHOLD);
        if (aftersize < 0) break;
        sum += aftersize;
        if ((uint32_t)aftersize != RLE_BUF_SIZE) {
            total = sum;
            break;
        }
    }
    FreeZeroedMemory(in_buffer);
    return total;
}
