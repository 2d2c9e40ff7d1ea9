// Stage 1: adaptive frequency tables and the range decoder over the value model
// (classes 0/1/2 in a context of three classes, exponent, mantissa).
#pragma once

#include <stdint.h>

#include "platform/platform.h"

// Byte size of each of the two stage-1 buffers. Process-wide, fixed at start-up
// from the machine's physical memory (RcBufSizeForMemory); it changes how the
// stage reads and writes, never what it decodes.
extern uint32_t RC_BUF_SIZE;

// Bounds for RC_BUF_SIZE in the product: a machine with little memory still
// gets buffers worth having, one with much memory does not hand a 32-bit
// process a buffer it cannot map.
const uint32_t RC_BUF_SIZE_FLOOR = 0x10000;  // 64 KiB
const uint32_t RC_BUF_SIZE_CAP = 0x2000000;  // 32 MiB
// The smallest size the stage accepts at all: the four start bytes must fit.
const uint32_t RC_BUF_SIZE_MIN = 4;

// Physical memory / 32, kept between the floor and the cap.
uint32_t RcBufSizeForMemory(uint64_t total_physical_bytes);

const uint32_t MIN_RANGE = 0x800;
const uint32_t MASK = 0xFF000000u;

// The range that the second normalisation gives: the distance from `low` up to
// the next multiple of MIN_RANGE above it, times 256.
inline uint32_t range_to_next_boundary(uint32_t low) {
    return (MIN_RANGE - (low & (MIN_RANGE - 1))) << 8;
}
const uint32_t RC_ULONG_MAX = 0xFFFFFFFFu;
const int EOF_VALUE = 256;  // the value that ends a stream
const int RC_CODE_SIZE = 257;

const int INC = 4;
const uint16_t GR1 = 3, GR1_3 = 27, GR2 = 8;
const uint16_t MAX_SUM1 = 256, MAX_SUM2 = 512, MAX_SUM3 = 2048;

// One adaptive table over the symbols 0 .. code_size-1. Every store is 16 bits.
struct Frequency {
    uint16_t code_size;
    uint16_t max_sum;
    uint16_t* count;      // code_size entries
    uint16_t* count_sum;  // code_size + 1 entries; count_sum[0] is always 0
};

// A new table, all counts 0, or NULL when memory cannot be had.
Frequency* init_frequency(uint16_t size, uint16_t max);
void release_frequency(Frequency* table);

inline uint16_t GET_COUNT(const Frequency* t, int c) { return (uint16_t)(t->count[c] + 1); }
inline uint16_t GET_COUNT_SUM(const Frequency* t, int c) { return (uint16_t)(t->count_sum[c] + c); }
inline uint16_t GET_SUM(const Frequency* t) {
    return (uint16_t)(t->count_sum[t->code_size] + t->code_size);
}

// The symbol whose interval holds `value`, or -1 when value is not below the total.
int search_code(const Frequency* table, uint16_t value);

// Adapts the table after symbol c; fNewType selects the odd rescale rule.
void update_frequency(Frequency* table, int c, int fNewType);

// The 35 tables of one stream: 27 class tables, one exponent table, and one
// mantissa table per exponent 1..7 (index 0 unused).
struct ModelSet {
    Frequency* freq_012[27];
    Frequency* freq_first;
    Frequency* freq_second[8];
};

// Creates all 35 tables fresh; false (with nothing left allocated) on failure.
bool init_global(ModelSet* set);
// Releases every table of the set; safe on a partly built or empty set.
void free_frequency(ModelSet* set);

// How many 0x00 bytes the decoder supplies once the input has ended before it
// gives the stream up as damaged. A stream from the writer never needs one.
const uint32_t RC_PAST_END_LIMIT = 8;

// Registers and input side of one stage-1 run.
struct RangeDecoder {
    uint32_t range;
    uint32_t low;
    uint32_t code;
    FileHandle in;
    uint8_t* LBuffer;  // buffer_size bytes
    uint32_t buffer_size;
    uint32_t LPos;      // next byte of LBuffer
    uint32_t LFill;     // bytes the last read delivered
    uint32_t past_end;  // 0x00 bytes supplied after the input ended
    bool broken;        // a read failed, or the input ran out beyond the limit
    // The narrow-interval rule: a step whose range is below the table's total
    // first widens the interval (see RC_DECODE). rc_start turns it on; only
    // tests turn it off, to see what a reader without it makes of a stream.
    bool narrow_interval_rule;
    uint32_t widened_steps;  // steps that needed the widening
};

// Prepares `rc` over `in` (read from its current position) with the start
// registers, taking the four start bytes into `code`.
void rc_start(RangeDecoder* rc, FileHandle in, uint8_t* LBuffer, uint32_t buffer_size);

// One decode step with `table`: the symbol, or -1 when it cannot be decoded
// (value not below the total, or the input broke). While the range is below
// the table's total, the step first takes the second normalisation's body once
// more: range = range_to_next_boundary(low), one byte into `code`, `low`
// shifted. It runs at most twice and leaves the range at 65,536 or more.
int RC_DECODE(Frequency* table, RangeDecoder* rc, int fNewType);

// Decodes one stage-1 stream from `in` (from its start) into `out` (rewound and
// truncated first). 1 when EOF was decoded, 0 when the stream is damaged or a
// buffer could not be had. Calls the pump once per output byte. When given,
// *widened_steps receives how many steps of a decoded stream needed the
// widening (0 when the stream does not decode).
int coding012_decode(FileHandle in, FileHandle out, int fNewType, MessagePump pump,
                     uint32_t* widened_steps = NULL);
