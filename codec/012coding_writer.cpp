// Carry-less range encoder: every step is the reader's decode step with the
// roles reversed, so `low` and `range` here always equal the reader's.
#include "codec/012coding_writer.h"

// After a failed write the rest is dropped; the caller sees sink_status.
static inline void flush_out(RangeEncoder* rc) {
    if (rc->out_fill > 0 && rc->sink_status.ok())
        rc->sink_status = rc->sink(rc->sink_context, rc->out, rc->out_fill);
    rc->out_fill = 0;
}

static inline void emit(RangeEncoder* rc, uint8_t byte) {
    if (rc->out_fill == RC_OUT_BUF_SIZE) flush_out(rc);
    rc->out[rc->out_fill++] = byte;
}

Status rc_encode_start(RangeEncoder* rc, int fNewType, ByteSinkFunction sink, void* context) {
    rc->range = RC_ULONG_MAX;
    rc->low = 0;
    rc->c0 = rc->c00 = rc->c000 = 0;
    rc->fNewType = fNewType;
    rc->values = 0;
    rc->widened_steps = 0;
    rc->sink = sink;
    rc->sink_context = context;
    rc->sink_status = STATUS_OK;
    rc->out_fill = 0;
    return init_global(&rc->models) ? STATUS_OK : Failed(CAUSE_NO_MEMORY);
}

void rc_encode_release(RangeEncoder* rc) { free_frequency(&rc->models); }

// An interval narrower than the table's total leaves no width per unit, so it
// is first cut at the next boundary above `low` and shifted, as often as
// needed (at most twice): the reader does the same before it decodes.
void rc_encode_symbol(RangeEncoder* rc, Frequency* table, int c) {
    uint32_t total = GET_SUM(table);
    if (rc->range < total) {
        while (rc->range < total) {
            rc->range = range_to_next_boundary(rc->low);
            emit(rc, (uint8_t)(rc->low >> 24));
            rc->low <<= 8;
        }
        rc->widened_steps++;
    }
    uint32_t tmp = rc->range / total;
    rc->low += (uint32_t)GET_COUNT_SUM(table, c) * tmp;
    rc->range = (uint32_t)GET_COUNT(table, c) * tmp;
    update_frequency(table, c, rc->fNewType);
    while ((rc->low & MASK) == ((rc->low + rc->range) & MASK)) {
        emit(rc, (uint8_t)(rc->low >> 24));
        rc->low <<= 8;
        rc->range <<= 8;
    }
    while (rc->range < MIN_RANGE) {
        rc->range = range_to_next_boundary(rc->low);
        emit(rc, (uint8_t)(rc->low >> 24));
        rc->low <<= 8;
    }
}

// Codes one value 0..256.
// False once the sink has failed.
static bool encode_value(RangeEncoder* rc, uint32_t value) {
    int cls = value < 2 ? (int)value : 2;
    rc_encode_symbol(rc, rc->models.freq_012[9 * rc->c000 + 3 * rc->c00 + rc->c0], cls);
    rc->c000 = rc->c00;
    rc->c00 = rc->c0;
    rc->c0 = cls;
    if (cls == 2) {
        // Exponent e: 2^e + 1 <= value <= 2^(e+1); 2 has exponent 0 and no mantissa.
        int e = 0;
        if (value > 2) e = 31 - __builtin_clz(value - 1);
        rc_encode_symbol(rc, rc->models.freq_first, e);
        if (e > 0) rc_encode_symbol(rc, rc->models.freq_second[e], (int)(value - (1u << e) - 1));
    }
    return rc->sink_status.ok();
}

Status rc_encode_bytes(RangeEncoder* rc, const uint8_t* data, uint32_t size, uint32_t* coded) {
    for (uint32_t i = 0; i < size; i++) {
        if (!encode_value(rc, data[i])) {
            *coded = i;
            return rc->sink_status;
        }
        rc->values++;
    }
    *coded = size;
    return STATUS_OK;
}

Status rc_encode_finish(RangeEncoder* rc) {
    if (!encode_value(rc, EOF_VALUE)) return rc->sink_status;
    for (int shift = 24; shift >= 0; shift -= 8) emit(rc, (uint8_t)(rc->low >> shift));
    flush_out(rc);
    return rc->sink_status;
}
