// Stage 1: adaptive frequency tables and the range decoder over the value model
// (classes 0/1/2 in a context of three classes, exponent, mantissa).
#pragma once

#include <stdint.h>

#include "platform/status.h"

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
// The most symbols of any table (the mantissa table of exponent 7), and the
// largest total: a stored sum stays below max_sum, and each symbol adds one.
const uint16_t MAX_CODE_SIZE = 128;
const uint32_t MAX_TABLE_TOTAL = MAX_SUM3 - 1 + MAX_CODE_SIZE;

// n / total as a multiplication and a shift (see divide_by_total).
struct TotalReciprocal {
    uint32_t multiplier;  // the reciprocal's 33-bit multiplier less 2^32
    uint32_t shift;
};

// One adaptive table over the symbols 0 .. code_size-1. Every store is 16 bits.
struct Frequency {
    uint16_t code_size;
    uint16_t max_sum;
    uint16_t* count;      // code_size entries
    uint16_t* count_sum;  // code_size + 1 entries; count_sum[0] is always 0
    // Of the table's total, renewed by every update: the decoder divides by
    // the total of the table it has just chosen, and a stored reciprocal
    // spares that step a lookup which would wait on the total.
    TotalReciprocal reciprocal;
};

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
    void* block;  // all 35 tables, acquired and released in one piece
};

// Creates all 35 tables fresh, in one zero-filled block: a stream starts
// with one allocation, not 35. False (with nothing left allocated) on failure.
bool init_global(ModelSet* set);
// Releases every table of the set; safe on a partly built or empty set.
void free_frequency(ModelSet* set);

// How many 0x00 bytes the decoder supplies once the input has ended before it
// gives the stream up as damaged. A stream from the writer never needs one.
const uint32_t RC_PAST_END_LIMIT = 8;

// Where stage 1 takes its stored bytes from: called whenever the input buffer
// is used up, it delivers up to `room` bytes into `buffer` (0 at the end of
// the input). CAUSE_READ_FAILED, with the system's number, when the read failed.
typedef Status (*Stage1Refill)(void* context, uint8_t* buffer, uint32_t room, uint32_t* got);

// Registers and input side of one stage-1 run.
struct RangeDecoder {
    uint32_t range;
    uint32_t low;
    uint32_t code;
    Stage1Refill refill;
    void* refill_context;
    uint8_t* LBuffer;  // buffer_size bytes
    uint32_t buffer_size;
    uint32_t LPos;           // next byte of LBuffer
    uint32_t LFill;          // bytes the last refill delivered
    uint32_t past_end;       // 0x00 bytes supplied after the input ended
    bool read_failed;        // a refill failed
    bool overrun;            // the input ran out beyond RC_PAST_END_LIMIT
    uint32_t widened_steps;  // steps that needed the widening
    Status read_failure;     // what the failed refill answered
};

// Prepares `rc` with the start registers and takes the four start bytes into
// `code`, drawing input through `refill`.
void rc_start(RangeDecoder* rc, Stage1Refill refill, void* context, uint8_t* LBuffer,
              uint32_t buffer_size);

// One decode step with `table`: the symbol, or -1 when it cannot be decoded
// (value not below the total, or the input broke). While the range is below
// the table's total, the step first takes the second normalisation's body once
// more: range = range_to_next_boundary(low), one byte into `code`, `low`
// shifted. That runs at most twice and leaves the range at 65,536 or more.
// A failed step leaves the registers in `rc` as they were.
int RC_DECODE(Frequency* table, RangeDecoder* rc, int fNewType);

// n / total for every 32-bit n and every total 1 .. MAX_TABLE_TOTAL, by a
// multiplication with the total's reciprocal.
uint32_t divide_by_total(uint32_t n, uint32_t total);

// One stage-1 stream being decoded: registers, context and the 35 tables.
struct Stage1Decoder {
    RangeDecoder rc;
    ModelSet models;
    int c0, c00, c000;
    int fNewType;
};

// Creates the tables and takes the stream's four start bytes. CAUSE_OK, or
// CAUSE_NO_MEMORY / CAUSE_READ_FAILED with nothing left allocated.
Status stage1_start(Stage1Decoder* d, int fNewType, Stage1Refill refill, void* context,
                    uint8_t* LBuffer, uint32_t buffer_size);

// Decodes values into `out` until `room` bytes are stored or EOF is decoded.
// *produced receives the bytes stored (also when a value fails), *finished
// whether EOF was reached. CAUSE_DAMAGED when a value cannot be decoded,
// the failed refill's CAUSE_READ_FAILED when the input could not be read.
Status stage1_decode(Stage1Decoder* d, uint8_t* out, uint32_t room, uint32_t* produced,
                     bool* finished);

// Releases the tables; safe after a failed start.
void stage1_release(Stage1Decoder* d);
