#include "tests/reference/literal_decoder.h"

namespace literal {

namespace {

// ---------------------------------------------------------------------------
// Stage 1: adaptive frequency tables

struct Table {
    uint16_t code_size;
    uint16_t max_sum;
    uint16_t count[128];      // code_size entries used, all 0 at the start
    uint16_t count_sum[129];  // code_size + 1 entries used, all 0 at the start
};

Table NewTable(uint16_t code_size, uint16_t max_sum) {
    Table t = {};
    t.code_size = code_size;
    t.max_sum = max_sum;
    return t;
}

uint16_t GetCount(const Table& t, int c) { return (uint16_t)(t.count[c] + 1); }
uint16_t GetCountSum(const Table& t, int c) { return (uint16_t)(t.count_sum[c] + c); }
uint16_t GetSum(const Table& t) { return (uint16_t)(t.count_sum[t.code_size] + t.code_size); }

// The binary search, comparisons between 16-bit values.
int SearchCode(const Table& t, uint16_t value) {
    int lo = 0;
    int hi = t.code_size - 1;
    while (lo <= hi) {
        int mid = (lo + hi) / 2;
        if (GetCountSum(t, mid) == value) return mid;
        if (GetCountSum(t, mid) < value) {
            if (GetCountSum(t, mid + 1) > value) return mid;
            lo = mid + 1;
        } else {
            hi = mid - 1;
        }
    }
    return -1;
}

void UpdateFrequency(Table* t, int c, bool odd_rescale) {
    t->count[c] = (uint16_t)(t->count[c] + 4);
    for (int i = c + 1; i <= t->code_size; i++) t->count_sum[i] = (uint16_t)(t->count_sum[i] + 4);
    if (t->count_sum[t->code_size] < t->max_sum) return;
    t->count_sum[0] = 0;
    for (int i = 0; i < t->code_size; i++) {
        t->count[i] = (uint16_t)(t->count[i] >> 1);
        if (odd_rescale) t->count[i] = (uint16_t)(t->count[i] | 1);
        t->count_sum[i + 1] = (uint16_t)(t->count_sum[i] + t->count[i]);
    }
}

// ---------------------------------------------------------------------------
// Stage 1: the range decoder

const uint32_t MIN_RANGE = 0x800;
const uint32_t TOP_BYTE = 0xFF000000u;
const uint32_t BYTES_PAST_END = 8;

struct RangeDecoder {
    const Bytes* stream;
    size_t position = 0;
    uint32_t past_end = 0;
    bool ran_out = false;  // a byte beyond the 0x00 bytes past the end was needed
    bool odd_rescale;
    bool narrow_interval_rule;
    uint32_t widened_steps = 0;
    uint32_t range = 0xFFFFFFFFu;
    uint32_t low = 0;
    uint32_t code = 0;

    uint8_t NextByte() {
        if (position < stream->size()) return (*stream)[position++];
        past_end++;
        if (past_end > BYTES_PAST_END) ran_out = true;
        return 0;
    }

    // One decode step: the symbol, or -1.
    int Decode(Table* t) {
        if (range < GetSum(*t)) {
            if (!narrow_interval_rule) return -1;
            while (range < GetSum(*t)) {
                range = (MIN_RANGE - (low & (MIN_RANGE - 1))) * 256;
                code = code * 256 + NextByte();
                low = low * 256;
            }
            widened_steps++;
        }
        uint32_t tmp = range / GetSum(*t);
        uint32_t v = (code - low) / tmp;
        int c = SearchCode(*t, (uint16_t)(v % 65536));
        if (c < 0) return -1;
        low = low + GetCountSum(*t, c) * tmp;
        range = GetCount(*t, c) * tmp;
        UpdateFrequency(t, c, odd_rescale);
        while ((low & TOP_BYTE) == ((low + range) & TOP_BYTE)) {
            code = code * 256 + NextByte();
            low = low * 256;
            range = range * 256;
        }
        while (range < MIN_RANGE) {
            range = (MIN_RANGE - (low & (MIN_RANGE - 1))) * 256;
            code = code * 256 + NextByte();
            low = low * 256;
        }
        return ran_out ? -1 : c;
    }
};

// ---------------------------------------------------------------------------
// Stages 3 and 4: block headers

uint32_t BigEndian24(const Bytes& in, size_t at) {
    return (uint32_t)in[at] * 65536 + (uint32_t)in[at + 1] * 256 + in[at + 2];
}

uint32_t LittleEndian24(const Bytes& in, size_t at) {
    return in[at] + (uint32_t)in[at + 1] * 256 + (uint32_t)in[at + 2] * 65536;
}

const uint32_t BLOCK_SIZE = 0x100000;  // stage 3's blocks, stage 4's expansions, stage 2's chunks

}  // namespace

Stage1Outcome DecodeStage1(const Bytes& stream, bool odd_rescale, bool narrow_interval_rule,
                           size_t max_values) {
    Table classes[27];
    for (int i = 0; i < 27; i++) classes[i] = NewTable(3, 256);
    Table exponents = NewTable(8, 512);
    Table mantissas[8];
    for (int e = 0; e <= 7; e++) mantissas[e] = NewTable((uint16_t)(1 << e), 2048);

    RangeDecoder rc;
    rc.stream = &stream;
    rc.odd_rescale = odd_rescale;
    rc.narrow_interval_rule = narrow_interval_rule;
    for (int i = 0; i < 4; i++) rc.code = rc.code * 256 + rc.NextByte();

    Stage1Outcome outcome;
    outcome.result = CAUSE_DAMAGED;
    outcome.cut = false;
    int c0 = 0, c00 = 0, c000 = 0;
    for (;;) {
        if (outcome.values.size() == max_values) {
            outcome.cut = true;
            break;
        }
        int cls = rc.Decode(&classes[9 * c000 + 3 * c00 + c0]);
        if (cls < 0) break;
        c000 = c00;
        c00 = c0;
        c0 = cls;
        int value = cls;
        if (cls == 2) {
            int e = rc.Decode(&exponents);
            if (e < 0) break;
            if (e >= 1) {
                int m = rc.Decode(&mantissas[e]);
                if (m < 0) break;
                value = (1 << e) + m + 1;
            }
        }
        if (value == 256) {
            outcome.result = CAUSE_OK;
            break;
        }
        outcome.values.push_back((uint8_t)value);
    }
    outcome.widened_steps = rc.widened_steps;
    return outcome;
}

Bytes DecodeStage2(const Bytes& in) {
    Bytes out;
    for (size_t start = 0; start < in.size(); start += BLOCK_SIZE) {
        uint8_t table[256];
        for (int i = 0; i < 256; i++) table[i] = (uint8_t)i;
        int prev = 1;
        for (size_t i = start; i < in.size() && i < start + BLOCK_SIZE; i++) {
            int j = in[i];
            uint8_t c = table[j];
            if (j == 1) {
                if (prev != 0) {
                    table[1] = table[0];
                    table[0] = c;
                }
            } else if (j >= 2) {
                for (int k = j; k >= 2; k--) table[k] = table[k - 1];
                table[1] = c;
            }
            out.push_back(c);
            prev = j;
        }
    }
    return out;
}

Bytes RestoreBlock(const Bytes& last_column, uint32_t top) {
    uint32_t n = (uint32_t)last_column.size();
    uint32_t count[256] = {};
    for (uint32_t i = 0; i < n; i++) count[last_column[i]]++;
    for (int v = 1; v < 256; v++) count[v] += count[v - 1];
    std::vector<uint32_t> index_table(n);
    for (uint32_t i = n; i-- > 0;) {
        count[last_column[i]]--;
        index_table[count[last_column[i]]] = i;
    }
    Bytes out(n);
    uint32_t p = index_table[top];
    for (uint32_t i = 0; i < n; i++) {
        out[i] = last_column[p];
        p = index_table[p];
    }
    return out;
}

Cause DecodeStage3(const Bytes& in, Bytes* out) {
    out->clear();
    size_t pos = 0;
    for (;;) {
        if (pos == in.size()) return CAUSE_OK;
        if (in.size() - pos < 6) return CAUSE_DAMAGED;
        uint32_t top = BigEndian24(in, pos);
        uint32_t size = BigEndian24(in, pos + 3);
        pos += 6;
        if (size == 0) return CAUSE_OK;
        if (size > BLOCK_SIZE || top >= size) return CAUSE_DAMAGED;
        if (in.size() - pos < size) return CAUSE_DAMAGED;
        Bytes block = RestoreBlock(Bytes(in.begin() + pos, in.begin() + pos + size), top);
        out->insert(out->end(), block.begin(), block.end());
        pos += size;
        if (size != BLOCK_SIZE) return CAUSE_OK;
    }
}

Cause ExpandBlock(const Bytes& coded, Bytes* out) {
    out->clear();
    size_t p = 0;
    while (p < coded.size()) {
        uint8_t c = coded[p++];
        uint32_t k = 1;
        while (p < coded.size() && k < 4 && coded[p] == c) {
            k++;
            p++;
        }
        if (k == 4) {
            if (p == coded.size()) return CAUSE_DAMAGED;
            k += coded[p++];
        }
        if (out->size() + k > BLOCK_SIZE) return CAUSE_DAMAGED;
        out->insert(out->end(), k, c);
    }
    return CAUSE_OK;
}

Cause DecodeStage4(const Bytes& in, Bytes* out) {
    out->clear();
    size_t pos = 0;
    for (;;) {
        if (pos == in.size()) return CAUSE_OK;
        if (in.size() - pos < 3) return CAUSE_DAMAGED;
        uint32_t beforesize = LittleEndian24(in, pos);
        pos += 3;
        if (beforesize == 0 || beforesize > 2 * BLOCK_SIZE) return CAUSE_DAMAGED;
        if (in.size() - pos < beforesize) return CAUSE_DAMAGED;
        Bytes block;
        if (ExpandBlock(Bytes(in.begin() + pos, in.begin() + pos + beforesize), &block) != CAUSE_OK)
            return CAUSE_DAMAGED;
        out->insert(out->end(), block.begin(), block.end());
        pos += beforesize;
        if (block.size() != BLOCK_SIZE) return CAUSE_OK;
    }
}

Cause DecodeEntry(const Bytes& stored, uint32_t original_size, bool odd_rescale, Bytes* out) {
    out->clear();
    // Every value to the stream's end, however many the later stages ignore.
    Stage1Outcome stage1 = DecodeStage1(stored, odd_rescale, true);
    if (stage1.result != CAUSE_OK) return CAUSE_DAMAGED;
    Bytes sorted = DecodeStage2(stage1.values);
    Bytes coded;
    if (DecodeStage3(sorted, &coded) != CAUSE_OK) return CAUSE_DAMAGED;
    Bytes original;
    if (DecodeStage4(coded, &original) != CAUSE_OK) return CAUSE_DAMAGED;
    if (original.size() != original_size) return CAUSE_DAMAGED;
    out->swap(original);
    return CAUSE_OK;
}

}  // namespace literal
