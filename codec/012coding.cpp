// Stage 1: adaptive frequency tables and the carry-less range decoder over the
// value model (class 0/1/2 in a context of three classes, exponent, mantissa).
#include "codec/012coding.h"
#include "platform/platform.h"

#include <string.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

uint32_t RC_BUF_SIZE = RC_BUF_SIZE_FLOOR;

uint32_t RcBufSizeForMemory(uint64_t total_physical_bytes) {
    uint64_t size = total_physical_bytes >> 5;
    if (size < RC_BUF_SIZE_FLOOR) return RC_BUF_SIZE_FLOOR;
    if (size > RC_BUF_SIZE_CAP) return RC_BUF_SIZE_CAP;
    return (uint32_t)size;
}

// Set only by tests (tests/test_hooks.h).
bool NarrowIntervalRuleOff = false;

// ---------------------------------------------------------------------------
// Division by a table total

// n / d as a multiplication, exact for every 32-bit n: with s = ceil(log2 d)
// and M = ceil(2^(32+s) / d), M exceeds 2^(32+s) / d by less than 1, so
// n * M / 2^(32+s) exceeds n / d by less than 2^32 / 2^(32+s) <= 1 / d, too
// little to reach the next integer. M has 33 bits; its top bit is added as n
// itself, so the product is 32 by 32 bits, native in every build.
static constexpr TotalReciprocal make_reciprocal(uint32_t d) {
    uint32_t s = 0;
    while ((1u << s) < d) s++;
    uint64_t m = (((uint64_t)1 << (32 + s)) + d - 1) / d;
    return TotalReciprocal{(uint32_t)(m - ((uint64_t)1 << 32)), s};
}

struct ReciprocalTable {
    TotalReciprocal of[MAX_TABLE_TOTAL + 1];
};

static constexpr ReciprocalTable make_reciprocal_table() {
    ReciprocalTable table = {};
    for (uint32_t d = 1; d <= MAX_TABLE_TOTAL; d++) table.of[d] = make_reciprocal(d);
    return table;
}

static constexpr ReciprocalTable RECIPROCALS = make_reciprocal_table();

static inline uint32_t divide_by(uint32_t n, TotalReciprocal r) {
    return (uint32_t)(((uint64_t)n + (((uint64_t)n * r.multiplier) >> 32)) >> r.shift);
}

uint32_t divide_by_total(uint32_t n, uint32_t total) { return divide_by(n, RECIPROCALS.of[total]); }

// ---------------------------------------------------------------------------
// Frequency tables

// Bytes of one table, record and arrays, kept aligned for the next record.
static size_t table_bytes(uint16_t size) {
    size_t bytes = sizeof(Frequency) + sizeof(uint16_t) * (2 * (size_t)size + 1);
    return (bytes + alignof(Frequency) - 1) / alignof(Frequency) * alignof(Frequency);
}

// Lays out a new table at *place (zero-filled memory), its arrays right
// behind its record, and moves *place past it.
static Frequency* place_table(uint8_t** place, uint16_t size, uint16_t max) {
    Frequency* table = (Frequency*)*place;
    *place += table_bytes(size);
    table->code_size = size;
    table->max_sum = max;
    table->count = (uint16_t*)(table + 1);
    table->count_sum = table->count + size;
    table->reciprocal = RECIPROCALS.of[size];
    return table;
}

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

// Rescale: halve every count (the odd rule keeps each at least 1) and
// rebuild the running sums in ascending order.
static void rescale_frequency(Frequency* table, int fNewType) {
    uint16_t* count = table->count;
    uint16_t* count_sum = table->count_sum;
    count_sum[0] = 0;
    for (int i = 0; i < table->code_size; i++) {
        uint16_t halved = (uint16_t)(count[i] >> 1);
        if (fNewType) halved = (uint16_t)(halved | 1);
        count[i] = halved;
        count_sum[i + 1] = (uint16_t)(count_sum[i] + halved);
    }
}

// The increments of an update, for every symbol c at once: the slice that
// starts at RAISE.slice + MAX_CODE_SIZE - c holds 0 for the running sums up
// to c and INC for those above.
struct RaiseTable {
    uint16_t slice[2 * MAX_CODE_SIZE];
};

static constexpr RaiseTable make_raise_table() {
    RaiseTable table = {};
    for (int i = MAX_CODE_SIZE; i < 2 * MAX_CODE_SIZE; i++) table.slice[i] = INC;
    return table;
}

static constexpr RaiseTable RAISE = make_raise_table();

// A table's arrays follow its record (place_table lays them out so). The
// decoder takes their addresses from the record's own and the size it knows,
// not from the pointers in it: right after a symbol is decoded, the next
// table's total is wanted at once, and each load it waits on lengthens every
// step.
static inline uint16_t* counts_of(Frequency* t) { return (uint16_t*)(t + 1); }
static inline uint16_t* sums_of(Frequency* t, int size) { return counts_of(t) + size; }
// GET_COUNT_SUM on the sums found so.
static inline uint32_t cumulative(const uint16_t* sums, int c) { return (uint16_t)(sums[c] + c); }

// The rest of an update once the running sums above c are raised: c's own
// count, the rescale when the stored sum has reached max_sum, and the
// reciprocal of the new total.
static inline void count_symbol(Frequency* table, int c, int fNewType, int size) {
    counts_of(table)[c] = (uint16_t)(counts_of(table)[c] + INC);
    if (sums_of(table, size)[size] >= table->max_sum) rescale_frequency(table, fNewType);
    table->reciprocal = RECIPROCALS.of[cumulative(sums_of(table, size), size)];
}

// update_frequency for a table of `size` symbols. Every running sum above
// count_sum[0] takes its increment from the slice for c, so the work does not
// branch on c and vectorises; where the decoder knows the size, it unrolls.
static inline void update_table(Frequency* table, int c, int fNewType, int size) {
    uint16_t* sums_above = sums_of(table, size) + 1;  // sums_above[i] covers symbols 0 .. i
    const uint16_t* increments = RAISE.slice + MAX_CODE_SIZE - c;
    for (int i = 0; i < size; i++) sums_above[i] = (uint16_t)(sums_above[i] + increments[i]);
    count_symbol(table, c, fNewType, size);
}

void update_frequency(Frequency* table, int c, int fNewType) {
    update_table(table, c, fNewType, table->code_size);
}

bool init_global(ModelSet* set) {
    memset(set, 0, sizeof(*set));
    size_t bytes = GR1_3 * table_bytes(GR1) + table_bytes(GR2);
    for (int e = 1; e < 8; e++) bytes += table_bytes((uint16_t)(1u << e));
    uint8_t* place = (uint8_t*)AllocZeroedMemory(bytes);
    if (!place) return false;
    set->block = place;
    for (int i = 0; i < GR1_3; i++) set->freq_012[i] = place_table(&place, GR1, MAX_SUM1);
    set->freq_first = place_table(&place, GR2, MAX_SUM2);
    for (int e = 1; e < 8; e++)
        set->freq_second[e] = place_table(&place, (uint16_t)(1u << e), MAX_SUM3);
    return true;
}

void free_frequency(ModelSet* set) {
    FreeZeroedMemory(set->block);
    memset(set, 0, sizeof(*set));
}

// ---------------------------------------------------------------------------
// Range decoder

// The slow side of taking a byte: LBuffer is used up. Refills it when the
// previous refill filled it completely; once one comes back short the input
// has ended for good and none is asked again. Bytes past the end are 0x00, up
// to RC_PAST_END_LIMIT of them.
static uint8_t next_byte_after_refill(RangeDecoder* rc) {
    if (rc->LFill == rc->buffer_size) {
        uint32_t got = 0;
        Status read = rc->refill(rc->refill_context, rc->LBuffer, rc->buffer_size, &got);
        if (!read.ok()) {
            rc->read_failed = true;
            rc->read_failure = read;
            got = 0;
        }
        rc->LPos = 0;
        rc->LFill = got;
    }
    if (rc->LPos == rc->LFill) {
        if (++rc->past_end > RC_PAST_END_LIMIT) rc->overrun = true;
        return 0;
    }
    return rc->LBuffer[rc->LPos++];
}

static inline uint8_t next_stream_byte(RangeDecoder* rc) {
    if (rc->LPos == rc->LFill) return next_byte_after_refill(rc);
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
    rc->read_failure = STATUS_OK;
    rc->overrun = false;
    rc->widened_steps = 0;
    for (int i = 0; i < 4; i++) rc->code = (rc->code << 8) | next_stream_byte(rc);
}

// The registers of a run while the hot loop holds them in locals.
struct Registers {
    uint32_t range;
    uint32_t low;
    uint32_t code;
};

// The narrow-interval rule: a range below the table's total would leave no
// width per unit, so the interval is first cut at the next boundary and a
// byte taken in, as in the second normalisation, until it is wide enough
// (at most twice, since the range is at least MIN_RANGE). The registers go
// in and out by value, so that the hot loop's stay in machine registers.
static Registers widen_narrow_interval(RangeDecoder* rc, Registers r, uint32_t total) {
    while (r.range < total) {
        r.range = range_to_next_boundary(r.low);
        r.code = (r.code << 8) | next_stream_byte(rc);
        r.low <<= 8;
    }
    rc->widened_steps++;
    return r;
}

// The symbol whose interval holds v = (code - low) / tmp, for a distance
// d = code - low below tmp * total, found without dividing: v >= cumulative
// exactly when d >= cumulative * tmp, and no product passes the range.
static inline int find_symbol(const uint16_t* sums, uint32_t d, uint32_t tmp, int size) {
    int c = 0;
    for (int i = 1; i < size; i++) c += cumulative(sums, i) * tmp <= d;
    return c;
}

// For the larger tables, where a search would take many dependent probes:
// the symbol c for a value v below the total, found in one pass over the
// running sums that counts the symbols whose interval starts at or below v
// and adds the increment to the sums above c, all that update_frequency does
// to them. The pass vectorises; the caller completes the update.
static inline int find_symbol_and_raise_sums(Frequency* t, uint16_t v, int size) {
    uint16_t* sums_above = t->count_sum + 1;  // sums_above[i] is count_sum[i + 1]
    uint16_t at_or_below = 0;
    uint16_t i = 0;
#if defined(__SSE2__)
    // Eight sums at a time, written out: not every compiler vectorises the
    // loop below with a 16-bit count (the WebAssembly build's does not).
    // The compare is signed, so both sides are moved by 0x8000 first.
    const __m128i flip = _mm_set1_epi16((short)0x8000);
    const __m128i value = _mm_xor_si128(_mm_set1_epi16((short)v), flip);
    const __m128i increment = _mm_set1_epi16(INC);
    __m128i symbol = _mm_setr_epi16(1, 2, 3, 4, 5, 6, 7, 8);  // i + 1 in each lane
    // Per lane, minus the number of symbols above v (a compare gives -1).
    __m128i aboves = _mm_setzero_si128();
    for (; i + 8 <= (uint16_t)size; i = (uint16_t)(i + 8)) {
        __m128i sums = _mm_loadu_si128((const __m128i*)(sums_above + i));
        __m128i at = _mm_xor_si128(_mm_add_epi16(sums, symbol), flip);
        __m128i above = _mm_cmpgt_epi16(at, value);  // all ones where GET_COUNT_SUM(i + 1) > v
        aboves = _mm_add_epi16(aboves, above);
        _mm_storeu_si128((__m128i*)(sums_above + i),
                         _mm_add_epi16(sums, _mm_and_si128(above, increment)));
        symbol = _mm_add_epi16(symbol, _mm_set1_epi16(8));
    }
    __m128i pairs = _mm_madd_epi16(aboves, _mm_set1_epi16(1));
    pairs = _mm_add_epi32(pairs, _mm_shuffle_epi32(pairs, _MM_SHUFFLE(1, 0, 3, 2)));
    pairs = _mm_add_epi32(pairs, _mm_shuffle_epi32(pairs, _MM_SHUFFLE(2, 3, 0, 1)));
    at_or_below = (uint16_t)(i + _mm_cvtsi128_si32(pairs));
#endif
    for (; i < (uint16_t)size; i++) {
        bool above = (uint16_t)(sums_above[i] + i + 1) > v;  // GET_COUNT_SUM(i + 1) > v
        at_or_below = (uint16_t)(at_or_below + !above);
        sums_above[i] = (uint16_t)(sums_above[i] + above * INC);
    }
    return at_or_below;
}

// Tables of more symbols than this take find_symbol_and_raise_sums.
const int LARGE_TABLE = 8;

// One decode step with a table of `size` symbols on the registers in `r`:
// the symbol, or -1.
static inline int decode_step(Frequency* t, RangeDecoder* rc, Registers* r, int fNewType,
                              int size) {
    const uint16_t* sums = sums_of(t, size);
    uint32_t total = cumulative(sums, size);  // GET_SUM, with the size known
    if (r->range < total) {
        // Without the rule, or when the input broke meanwhile, the step
        // cannot be decoded.
        if (NarrowIntervalRuleOff) return -1;
        *r = widen_narrow_interval(rc, *r, total);
        if (rc->read_failed || rc->overrun) return -1;
    }
    uint32_t tmp = divide_by(r->range, t->reciprocal);
    uint32_t d = r->code - r->low;
    uint32_t span = total * tmp;  // the interval's width in whole units
    uint32_t start, width;        // GET_COUNT_SUM(c) * tmp and GET_COUNT(c) * tmp
    int c;
    if (d >= span) {
        // v is the total or more; only its low 16 bits reach the search,
        // which on a damaged stream can still name a symbol.
        c = search_code(t, (uint16_t)(d / tmp));
        if (c < 0) return -1;
        start = (uint32_t)GET_COUNT_SUM(t, c) * tmp;
        width = (uint32_t)GET_COUNT(t, c) * tmp;
        update_table(t, c, fNewType, size);
    } else if (size == GR1) {
        // The class tables: both inner boundaries at once.
        uint32_t first = cumulative(sums, 1) * tmp;
        uint32_t second = cumulative(sums, 2) * tmp;
        // Each branch updates with its own symbol, a constant there.
        if (d < first) {
            c = 0;
            start = 0;
            width = first;
            update_table(t, 0, fNewType, size);
        } else if (d < second) {
            c = 1;
            start = first;
            width = second - first;
            update_table(t, 1, fNewType, size);
        } else {
            c = 2;
            start = second;
            width = span - second;
            update_table(t, 2, fNewType, size);
        }
    } else if (size <= LARGE_TABLE) {
        c = find_symbol(sums, d, tmp, size);
        start = cumulative(sums, c) * tmp;
        width = (uint32_t)(uint16_t)(counts_of(t)[c] + 1) * tmp;
        update_table(t, c, fNewType, size);
    } else {
        c = find_symbol_and_raise_sums(t, (uint16_t)(d / tmp), size);
        start = (uint32_t)GET_COUNT_SUM(t, c) * tmp;  // the sums up to c are unchanged
        width = (uint32_t)GET_COUNT(t, c) * tmp;
        count_symbol(t, c, fNewType, size);
    }
    uint32_t low = r->low + start;
    uint32_t range = width;

    if ((low & MASK) == ((low + range) & MASK) || range < MIN_RANGE) {
        uint32_t code = r->code;
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
        r->code = code;
        if (rc->read_failed || rc->overrun) return -1;
    }
    r->low = low;
    r->range = range;
    return c;
}

int RC_DECODE(Frequency* table, RangeDecoder* rc, int fNewType) {
    Registers r = {rc->range, rc->low, rc->code};
    int c = decode_step(table, rc, &r, fNewType, table->code_size);
    if (c < 0) return -1;
    rc->range = r.range;
    rc->low = r.low;
    rc->code = r.code;
    return c;
}

// ---------------------------------------------------------------------------
// The value stream

Status stage1_start(Stage1Decoder* d, int fNewType, Stage1Refill refill, void* context,
                    uint8_t* LBuffer, uint32_t buffer_size) {
    d->c0 = d->c00 = d->c000 = 0;
    d->fNewType = fNewType;
    if (!init_global(&d->models)) return Failed(CAUSE_NO_MEMORY);
    rc_start(&d->rc, refill, context, LBuffer, buffer_size);
    if (d->rc.read_failed) {
        free_frequency(&d->models);
        return d->rc.read_failure;
    }
    return STATUS_OK;
}

void stage1_release(Stage1Decoder* d) { free_frequency(&d->models); }

Status stage1_decode(Stage1Decoder* d, uint8_t* out, uint32_t room, uint32_t* produced,
                     bool* finished) {
    ModelSet* m = &d->models;
    RangeDecoder* rc = &d->rc;
    const int fNewType = d->fNewType;
    // The three previous classes as base-4 digits of one number, c0 lowest,
    // so that a new class shifts in without arithmetic; the class table of
    // each such number is looked up here once.
    Frequency* class_tables[64] = {};
    for (int c000 = 0; c000 < 3; c000++)
        for (int c00 = 0; c00 < 3; c00++)
            for (int c0 = 0; c0 < 3; c0++)
                class_tables[16 * c000 + 4 * c00 + c0] = m->freq_012[9 * c000 + 3 * c00 + c0];
    uint32_t classes = 16 * d->c000 + 4 * d->c00 + d->c0;
    Registers r = {rc->range, rc->low, rc->code};
    uint32_t n = 0;
    bool failed = false;
    *finished = false;
    while (n < room) {
        int cls = decode_step(class_tables[classes], rc, &r, fNewType, GR1);
        if (cls < 0) {
            failed = true;
            break;
        }
        classes = ((classes << 2) | cls) & 63;
        int value = cls;
        if (cls == 2) {
            int e = decode_step(m->freq_first, rc, &r, fNewType, GR2);
            if (e < 0) {
                failed = true;
                break;
            }
            if (e >= 1) {
                // A copy goes to the step, which is not inlined for the
                // mantissa tables, so that `r` itself stays in registers.
                Registers mantissa_registers = r;
                int mantissa =
                    decode_step(m->freq_second[e], rc, &mantissa_registers, fNewType, 1 << e);
                r = mantissa_registers;
                if (mantissa < 0) {
                    failed = true;
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
    rc->range = r.range;
    rc->low = r.low;
    rc->code = r.code;
    d->c0 = classes & 3;
    d->c00 = (classes >> 2) & 3;
    d->c000 = classes >> 4;
    *produced = n;
    if (!failed) return STATUS_OK;
    return rc->read_failed ? rc->read_failure : Failed(CAUSE_DAMAGED);
}
