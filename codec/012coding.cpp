// Stage 1: adaptive frequency tables and the carry-less range decoder over the
// value model (class 0/1/2 in a context of three classes, exponent, mantissa).
#include "codec/012coding.h"
#include "codec/stage_files.h"

#include <string.h>

uint32_t RC_BUF_SIZE = RC_BUF_SIZE_FLOOR;

uint32_t RcBufSizeForMemory(uint64_t total_physical_bytes) {
    uint64_t size = total_physical_bytes >> 5;
    if (size < RC_BUF_SIZE_FLOOR) return RC_BUF_SIZE_FLOOR;
    if (size > RC_BUF_SIZE_CAP) return RC_BUF_SIZE_CAP;
    return (uint32_t)size;
}

// ---------------------------------------------------------------------------
// Frequency tables

// The record and both arrays live in one zero-filled block, so a table is
// acquired and released in one piece.
Frequency* init_frequency(uint16_t size, uint16_t max) {
    size_t bytes = sizeof(Frequency) + sizeof(uint16_t) * (2 * (size_t)size + 1);
    Frequency* table = (Frequency*)AllocZeroedMemory(bytes);
    if (!table) return NULL;
    table->code_size = size;
    table->max_sum = max;
    table->count = (uint16_t*)(table + 1);
    table->count_sum = table->count + size;
    return table;
}

void release_frequency(Frequency* table) { FreeZeroedMemory(table); }

int search_code(const Frequency* table, uint16_t value) {
    int lo = 0;
    int hi = table->code_size - 1;
    while (lo <= hi) {
        int mid = (lo + hi) / 2;
        uint16_t at_mid = GET_COUNT_SUM(table, mid);
        if (at_mid == value) return mid;
        if (at_mid < value) {
            if (GET_COUNT_SUM(table, mid + 1) > value) return mid;
            lo = mid + 1;
        } else {
            hi = mid - 1;
        }
    }
    return -1;
}

void update_frequency(Frequency* table, int c, int fNewType) {
    uint16_t size = table->code_size;
    uint16_t* count = table->count;
    uint16_t* count_sum = table->count_sum;
    count[c] = (uint16_t)(count[c] + INC);
    for (int i = c + 1; i <= size; i++) count_sum[i] = (uint16_t)(count_sum[i] + INC);
    if (count_sum[size] < table->max_sum) return;

    // Rescale: halve every count (the odd rule keeps each at least 1) and
    // rebuild the running sums in ascending order.
    count_sum[0] = 0;
    for (int i = 0; i < size; i++) {
        uint16_t halved = (uint16_t)(count[i] >> 1);
        if (fNewType) halved = (uint16_t)(halved | 1);
        count[i] = halved;
        count_sum[i + 1] = (uint16_t)(count_sum[i] + halved);
    }
}

bool init_global(ModelSet* set) {
    memset(set, 0, sizeof(*set));
    for (int i = 0; i < GR1_3; i++) {
        set->freq_012[i] = init_frequency(GR1, MAX_SUM1);
        if (!set->freq_012[i]) goto failed;
    }
    set->freq_first = init_frequency(GR2, MAX_SUM2);
    if (!set->freq_first) goto failed;
    for (int e = 1; e < 8; e++) {
        set->freq_second[e] = init_frequency((uint16_t)(1u << e), MAX_SUM3);
        if (!set->freq_second[e]) goto failed;
    }
    return true;
failed:
    free_frequency(set);
    return false;
}

void free_frequency(ModelSet* set) {
    for (int i = 0; i < GR1_3; i++) {
        release_frequency(set->freq_012[i]);
        set->freq_012[i] = NULL;
    }
    release_frequency(set->freq_first);
    set->freq_first = NULL;
    for (int e = 0; e < 8; e++) {
        release_frequency(set->freq_second[e]);
        set->freq_second[e] = NULL;
    }
}

// ---------------------------------------------------------------------------
// Range decoder

// Refills LBuffer when the previous read filled it completely; once a read
// comes back short the input has ended for good and no further read is made.
// Bytes past the end are 0x00, up to RC_PAST_END_LIMIT of them.
static uint8_t next_stream_byte(RangeDecoder* rc) {
    if (rc->LPos == rc->LFill) {
        if (rc->LFill == rc->buffer_size) {
            uint32_t got = 0;
            if (!ReadBytes(rc->in, rc->LBuffer, rc->buffer_size, &got)) {
                rc->broken = true;
                got = 0;
            }
            rc->LPos = 0;
            rc->LFill = got;
        }
        if (rc->LPos == rc->LFill) {
            if (++rc->past_end > RC_PAST_END_LIMIT) rc->broken = true;
            return 0;
        }
    }
    return rc->LBuffer[rc->LPos++];
}

void rc_start(RangeDecoder* rc, FileHandle in, uint8_t* LBuffer, uint32_t buffer_size) {
    rc->range = RC_ULONG_MAX;
    rc->low = 0;
    rc->code = 0;
    rc->in = in;
    rc->LBuffer = LBuffer;
    rc->buffer_size = buffer_size;
    // Pretend a full buffer was just used up, so the first byte triggers the first read.
    rc->LPos = buffer_size;
    rc->LFill = buffer_size;
    rc->past_end = 0;
    rc->broken = false;
    rc->narrow_interval_rule = true;
    rc->widened_steps = 0;
    for (int i = 0; i < 4; i++) rc->code = (rc->code << 8) | next_stream_byte(rc);
}

// A range below the table's total would leave no width per unit (`tmp` = 0).
// The writer has then cut the interval at the next boundary and shifted a
// byte out, as the second normalisation does, until the range is wide enough;
// the reader follows. False when the rule is off and the step is undecodable.
static bool widen_narrow_interval(RangeDecoder* rc, uint32_t total) {
    if (rc->range >= total) return true;
    if (!rc->narrow_interval_rule) return false;
    while (rc->range < total) {
        rc->range = range_to_next_boundary(rc->low);
        rc->code = (rc->code << 8) | next_stream_byte(rc);
        rc->low <<= 8;
    }
    rc->widened_steps++;
    return true;
}

int RC_DECODE(Frequency* table, RangeDecoder* rc, int fNewType) {
    if (!widen_narrow_interval(rc, GET_SUM(table))) return -1;
    uint32_t tmp = rc->range / GET_SUM(table);
    uint32_t v = (rc->code - rc->low) / tmp;
    int c = search_code(table, (uint16_t)v);
    if (c < 0) return -1;

    uint32_t low = rc->low + (uint32_t)GET_COUNT_SUM(table, c) * tmp;
    uint32_t range = (uint32_t)GET_COUNT(table, c) * tmp;
    update_frequency(table, c, fNewType);

    uint32_t code = rc->code;
    while ((low & MASK) == ((low + range) & MASK)) {
        code = (code << 8) | next_stream_byte(rc);
        low <<= 8;
        range <<= 8;
    }
    while (range < MIN_RANGE) {
        range = range_to_next_boundary(low);
        code = (code << 8) | next_stream_byte(rc);
        low <<= 8;
    }
    rc->low = low;
    rc->range = range;
    rc->code = code;
    return rc->broken ? -1 : c;
}

// ---------------------------------------------------------------------------
// Stage loop

// Buffers and tables of one run, released together on every way out.
struct Stage1Resources {
    uint8_t* LBuffer;
    uint8_t* SBuffer;
    ModelSet models;
    bool have_models;
};

static int finish_stage1(Stage1Resources* res, int result) {
    if (res->have_models) free_frequency(&res->models);
    FreeZeroedMemory(res->LBuffer);
    FreeZeroedMemory(res->SBuffer);
    return result;
}

int coding012_decode(FileHandle in, FileHandle out, int fNewType, MessagePump pump,
                     uint32_t* widened_steps) {
    if (widened_steps) *widened_steps = 0;
    // Read once: the size is process-wide and must not change under a run.
    const uint32_t buffer_size = RC_BUF_SIZE;
    if (buffer_size < RC_BUF_SIZE_MIN) return 0;
    if (!RewindStageFiles(in, out)) return 0;

    Stage1Resources res = {};
    res.LBuffer = (uint8_t*)AllocZeroedMemory(buffer_size);
    res.SBuffer = (uint8_t*)AllocZeroedMemory(buffer_size);
    if (!res.LBuffer || !res.SBuffer) return finish_stage1(&res, 0);
    res.have_models = init_global(&res.models);
    if (!res.have_models) return finish_stage1(&res, 0);

    ModelSet* m = &res.models;
    RangeDecoder rc;
    rc_start(&rc, in, res.LBuffer, buffer_size);
    if (rc.broken) return finish_stage1(&res, 0);

    uint8_t* SBuffer = res.SBuffer;
    uint32_t SPos = 0;
    int c0 = 0, c00 = 0, c000 = 0;
    for (;;) {
        int cls = RC_DECODE(m->freq_012[9 * c000 + 3 * c00 + c0], &rc, fNewType);
        if (cls < 0) return finish_stage1(&res, 0);
        c000 = c00;
        c00 = c0;
        c0 = cls;
        int value = cls;
        if (cls == 2) {
            int e = RC_DECODE(m->freq_first, &rc, fNewType);
            if (e < 0) return finish_stage1(&res, 0);
            if (e >= 1) {
                int mantissa = RC_DECODE(m->freq_second[e], &rc, fNewType);
                if (mantissa < 0) return finish_stage1(&res, 0);
                value = (1 << e) + mantissa + 1;
            }
        }
        if (value == EOF_VALUE) {
            if (widened_steps) *widened_steps = rc.widened_steps;
            bool written = WriteBytes(out, SBuffer, SPos);
            return finish_stage1(&res, written ? 1 : 0);
        }
        // A full buffer goes out only when another byte (or EOF) arrives.
        if (SPos == buffer_size) {
            if (!WriteBytes(out, SBuffer, buffer_size)) return finish_stage1(&res, 0);
            SPos = 0;
        }
        SBuffer[SPos++] = (uint8_t)value;
        CallPump(pump);
    }
}
