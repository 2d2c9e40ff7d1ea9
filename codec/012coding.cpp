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

bool RefillFromFile(void* context, uint8_t* buffer, uint32_t room, uint32_t* got) {
    return ReadBytes(*(FileHandle*)context, buffer, room, got);
}

// Refills LBuffer when the previous refill filled it completely; once one
// comes back short the input has ended for good and none is asked again.
// Bytes past the end are 0x00, up to RC_PAST_END_LIMIT of them.
static uint8_t next_stream_byte(RangeDecoder* rc) {
    if (rc->LPos == rc->LFill) {
        if (rc->LFill == rc->buffer_size) {
            uint32_t got = 0;
            if (!rc->refill(rc->refill_context, rc->LBuffer, rc->buffer_size, &got)) {
                rc->read_failed = true;
                got = 0;
            }
            rc->LPos = 0;
            rc->LFill = got;
        }
        if (rc->LPos == rc->LFill) {
            if (++rc->past_end > RC_PAST_END_LIMIT) rc->overrun = true;
            return 0;
        }
    }
    return rc->LBuffer[rc->LPos++];
}

void rc_start(RangeDecoder* rc, Stage1Refill refill, void* context, uint8_t* LBuffer,
              uint32_t buffer_size) {
    rc->range = RC_ULONG_MAX;
    rc->low = 0;
    rc->code = 0;
    rc->refill = refill;
    rc->refill_context = context;
    rc->LBuffer = LBuffer;
    rc->buffer_size = buffer_size;
    // Pretend a full buffer was just used up, so the first byte triggers the first read.
    rc->LPos = buffer_size;
    rc->LFill = buffer_size;
    rc->past_end = 0;
    rc->read_failed = false;
    rc->overrun = false;
    for (int i = 0; i < 4; i++) rc->code = (rc->code << 8) | next_stream_byte(rc);
}

int RC_DECODE(Frequency* table, RangeDecoder* rc, int fNewType) {
    uint32_t tmp = rc->range / GET_SUM(table);
    // A range below the table's total leaves no width per unit: undecodable.
    if (tmp == 0) return -1;
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
        range = (MIN_RANGE - (low & (MIN_RANGE - 1))) << 8;
        code = (code << 8) | next_stream_byte(rc);
        low <<= 8;
    }
    rc->low = low;
    rc->range = range;
    rc->code = code;
    return (rc->read_failed || rc->overrun) ? -1 : c;
}

// ---------------------------------------------------------------------------
// The value stream

DecodeResult stage1_start(Stage1Decoder* d, int fNewType, Stage1Refill refill, void* context,
                          uint8_t* LBuffer, uint32_t buffer_size) {
    d->c0 = d->c00 = d->c000 = 0;
    d->fNewType = fNewType;
    if (!init_global(&d->models)) return DECODE_NO_MEMORY;
    rc_start(&d->rc, refill, context, LBuffer, buffer_size);
    if (d->rc.read_failed) {
        free_frequency(&d->models);
        return DECODE_READ_FAILED;
    }
    return DECODE_OK;
}

void stage1_release(Stage1Decoder* d) { free_frequency(&d->models); }

// Why the last step failed.
static DecodeResult step_failure(const RangeDecoder* rc) {
    return rc->read_failed ? DECODE_READ_FAILED : DECODE_DAMAGED;
}

DecodeResult stage1_decode(Stage1Decoder* d, uint8_t* out, uint32_t room, uint32_t* produced,
                           bool* finished) {
    ModelSet* m = &d->models;
    RangeDecoder* rc = &d->rc;
    const int fNewType = d->fNewType;
    int c0 = d->c0, c00 = d->c00, c000 = d->c000;
    uint32_t n = 0;
    DecodeResult result = DECODE_OK;
    *finished = false;
    while (n < room) {
        int cls = RC_DECODE(m->freq_012[9 * c000 + 3 * c00 + c0], rc, fNewType);
        if (cls < 0) {
            result = step_failure(rc);
            break;
        }
        c000 = c00;
        c00 = c0;
        c0 = cls;
        int value = cls;
        if (cls == 2) {
            int e = RC_DECODE(m->freq_first, rc, fNewType);
            if (e < 0) {
                result = step_failure(rc);
                break;
            }
            if (e >= 1) {
                int mantissa = RC_DECODE(m->freq_second[e], rc, fNewType);
                if (mantissa < 0) {
                    result = step_failure(rc);
                    break;
                }
                value = (1 << e) + mantissa + 1;
            }
        }
        if (value == EOF_VALUE) {
            *finished = true;
            break;
        }
        out[n++] = (uint8_t)value;
    }
    d->c0 = c0;
    d->c00 = c00;
    d->c000 = c000;
    *produced = n;
    return result;
}

// ---------------------------------------------------------------------------
// Stage loop

// Buffers and tables of one run, released together on every way out.
struct Stage1Resources {
    uint8_t* LBuffer;
    uint8_t* SBuffer;
    Stage1Decoder decoder;
    bool started;
};

static DecodeResult finish_stage1(Stage1Resources* res, DecodeResult result) {
    if (res->started) stage1_release(&res->decoder);
    FreeZeroedMemory(res->LBuffer);
    FreeZeroedMemory(res->SBuffer);
    return result;
}

DecodeResult coding012_decode(FileHandle in, FileHandle out, int fNewType, MessagePump pump,
                              uint64_t output_limit) {
    // Read once: the size is process-wide and must not change under a run.
    const uint32_t buffer_size = RC_BUF_SIZE;
    if (buffer_size < RC_BUF_SIZE_MIN) return DECODE_NO_MEMORY;
    DecodeResult rewound = RewindStageFiles(in, out);
    if (rewound != DECODE_OK) return rewound;

    Stage1Resources res = {};
    res.LBuffer = (uint8_t*)AllocZeroedMemory(buffer_size);
    res.SBuffer = (uint8_t*)AllocZeroedMemory(buffer_size);
    if (!res.LBuffer || !res.SBuffer) return finish_stage1(&res, DECODE_NO_MEMORY);
    DecodeResult started =
        stage1_start(&res.decoder, fNewType, RefillFromFile, &in, res.LBuffer, buffer_size);
    if (started != DECODE_OK) return finish_stage1(&res, started);
    res.started = true;

    uint8_t* SBuffer = res.SBuffer;
    uint32_t SPos = 0;
    uint64_t total = 0;
    for (;;) {
        uint32_t produced = 0;
        bool finished = false;
        DecodeResult result;
        if (SPos == buffer_size) {
            // A full buffer goes out only when another byte (or EOF) arrives.
            uint8_t next;
            result = stage1_decode(&res.decoder, &next, 1, &produced, &finished);
            if (result != DECODE_OK) return finish_stage1(&res, result);
            if (!WriteBytes(out, SBuffer, buffer_size))
                return finish_stage1(&res, DECODE_WRITE_FAILED);
            if (finished) return finish_stage1(&res, DECODE_OK);
            SPos = 0;
            SBuffer[SPos++] = next;
        } else {
            // Pieces end where the pump is due, so it comes after every
            // STAGE1_PUMP_INTERVAL bytes of the whole stream.
            uint32_t room = buffer_size - SPos;
            uint32_t to_pump = STAGE1_PUMP_INTERVAL - (uint32_t)(total % STAGE1_PUMP_INTERVAL);
            if (room > to_pump) room = to_pump;
            result = stage1_decode(&res.decoder, SBuffer + SPos, room, &produced, &finished);
            if (result != DECODE_OK) return finish_stage1(&res, result);
            SPos += produced;
        }
        total += produced;
        // An intermediate stream longer than any sound entry can need is damaged.
        if (total > output_limit) return finish_stage1(&res, DECODE_DAMAGED);
        if (finished) {
            if (!WriteBytes(out, SBuffer, SPos)) return finish_stage1(&res, DECODE_WRITE_FAILED);
            return finish_stage1(&res, DECODE_OK);
        }
        if (produced && total % STAGE1_PUMP_INTERVAL == 0) CallPump(pump);
    }
}
