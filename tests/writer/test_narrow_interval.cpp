// The narrow-interval rule: a step whose interval is narrower than its table's
// total is widened first, by writer and reader alike. Value sequences steered
// into that state round-trip with the rule and are refused without it; the
// writer prefers the rescale rule whose stream needs no widening.
#include <string.h>

#include <gtest/gtest.h>

#include "codec/012coding_writer.h"
#include "codec/compress.h"
#include "decoder/stage_files.h"
#include "tests/test_hooks.h"
#include "tests/writer/decode_chain.h"
#include "tests/writer/stage_encoders.h"

namespace {

Status Discard(void*, const uint8_t*, uint32_t) { return STATUS_OK; }

void CopyTable(const Frequency* from, Frequency* to) {
    memcpy(to->count, from->count, sizeof(uint16_t) * from->code_size);
    memcpy(to->count_sum, from->count_sum, sizeof(uint16_t) * (from->code_size + 1u));
}

int Exponent(int value) { return value > 2 ? 31 - __builtin_clz(value - 1) : 0; }

// Sets `trial` back to `base` after it coded value u and perhaps a value
// 129 behind it: the registers and every table those values touched.
void Restore(const RangeEncoder& base, int u, bool and_129, RangeEncoder* trial) {
    const ModelSet& from = base.models;
    ModelSet* to = &trial->models;
    int context = 9 * base.c000 + 3 * base.c00 + base.c0;
    CopyTable(from.freq_012[context], to->freq_012[context]);
    if (u >= 2) CopyTable(from.freq_first, to->freq_first);
    if (Exponent(u) > 0) CopyTable(from.freq_second[Exponent(u)], to->freq_second[Exponent(u)]);
    if (and_129) {
        int next_context = 9 * base.c00 + 3 * base.c0 + (u < 2 ? u : 2);
        CopyTable(from.freq_012[next_context], to->freq_012[next_context]);
        CopyTable(from.freq_first, to->freq_first);
        CopyTable(from.freq_second[7], to->freq_second[7]);
    }
    trial->range = base.range;
    trial->low = base.low;
    trial->c0 = base.c0;
    trial->c00 = base.c00;
    trial->c000 = base.c000;
    trial->widened_steps = base.widened_steps;
}

void Code(RangeEncoder* rc, uint8_t value, Bytes* sequence) {
    uint32_t coded = 0;
    EXPECT_TRUE(rc_encode_bytes(rc, &value, 1, &coded).ok());
    if (sequence) sequence->push_back(value);
}

// A value sequence that makes the encoder widen `hits` times under a rule.
// Only a mantissa table of exponent 7 can have a total above MIN_RANGE; it is
// filled with values 129..255 until its total is, then kept full by values
// 0..128 while every one of them is tried, each followed by a value 129: the
// first whose mantissa step would have too narrow an interval is taken. Such
// a step needs a small range before the exponent step, so a value u that
// leaves a wide interval is not tried further.
Bytes SteerIntoNarrowIntervals(int odd, int hits) {
    RangeEncoder* rc = new RangeEncoder;
    RangeEncoder* trial = new RangeEncoder;
    EXPECT_TRUE(rc_encode_start(rc, odd, Discard, NULL).ok());
    EXPECT_TRUE(rc_encode_start(trial, odd, Discard, NULL).ok());
    Bytes sequence;
    uint64_t state = 12345;
    while ((int)rc->widened_steps < hits && sequence.size() < 2000000) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        uint32_t random = (uint32_t)(state >> 33);
        if (GET_SUM(rc->models.freq_second[7]) <= MIN_RANGE) {
            Code(rc, (uint8_t)(129 + random % 127), &sequence);
            Code(trial, sequence.back(), NULL);
            continue;
        }
        int taken = -1;
        for (int u = 0; u <= 128 && taken < 0; u++) {
            Code(trial, (uint8_t)u, NULL);
            bool and_129 = trial->range < (1u << 24);
            if (and_129) {
                Code(trial, 129, NULL);
                if (trial->widened_steps > rc->widened_steps) taken = u;
            }
            Restore(*rc, u, and_129, trial);
        }
        uint8_t u = (uint8_t)(taken >= 0 ? taken : random % 129);
        Code(rc, u, &sequence);
        Code(trial, u, NULL);
        if (taken >= 0) {
            Code(rc, 129, &sequence);
            Code(trial, 129, NULL);
        }
    }
    rc_encode_release(rc);
    rc_encode_release(trial);
    delete rc;
    delete trial;
    return sequence;
}

// Decodes a stage-1 stream value by value with RC_DECODE; the rule can be
// turned off. True when EOF was reached; *values holds what came before.
bool DecodeByHand(const Bytes& stream, int odd, bool rule, Bytes* values) {
    TempFile file;
    file.Write(stream);
    std::vector<uint8_t> buffer(4096);
    ModelSet m;
    EXPECT_TRUE(init_global(&m));
    RangeDecoder rc;
    FileHandle input = file.handle();
    rc_start(&rc, RefillFromFile, &input, buffer.data(), (uint32_t)buffer.size());
    NarrowIntervalRuleSetting rule_setting(rule);
    values->clear();
    int c0 = 0, c00 = 0, c000 = 0;
    bool reached_eof = false;
    for (;;) {
        int value = RC_DECODE(m.freq_012[9 * c000 + 3 * c00 + c0], &rc, odd);
        if (value < 0) break;
        c000 = c00;
        c00 = c0;
        c0 = value;
        if (value == 2) {
            int e = RC_DECODE(m.freq_first, &rc, odd);
            if (e < 0) break;
            if (e > 0) {
                int mantissa = RC_DECODE(m.freq_second[e], &rc, odd);
                if (mantissa < 0) break;
                value = (1 << e) + mantissa + 1;
            }
        }
        if (value == EOF_VALUE) {
            reached_eof = true;
            break;
        }
        values->push_back((uint8_t)value);
    }
    free_frequency(&m);
    return reached_eof;
}

TEST(NarrowInterval, SteeredValuesRoundTripWithTheRuleAndAreRefusedWithoutIt) {
    for (int odd : {1, 0}) {
        SCOPED_TRACE(odd ? "odd rule" : "plain rule");
        Bytes values = SteerIntoNarrowIntervals(odd, 2);
        Bytes stream;
        uint32_t written_widened = 0;
        ASSERT_TRUE(coding012_encode_buffer(values.data(), (uint32_t)values.size(), odd, &stream,
                                            &written_widened)
                        .ok());
        EXPECT_EQ(2u, written_widened);

        Bytes decoded;
        uint32_t read_widened = 0;
        TempFile in, out;
        in.Write(stream);
        EXPECT_EQ(CAUSE_OK, coding012_decode(in.handle(), out.handle(), odd, NO_PUMP,
                                             NO_OUTPUT_LIMIT, &read_widened)
                                .cause);
        EXPECT_TRUE(out.ReadAll() == values);
        EXPECT_EQ(2u, read_widened);

        EXPECT_TRUE(DecodeByHand(stream, odd, true, &decoded));
        EXPECT_TRUE(decoded == values);
        // Without the rule the reader stops at the first narrow step, well
        // before the end, and all it decoded up to there is right.
        EXPECT_FALSE(DecodeByHand(stream, odd, false, &decoded));
        ASSERT_LT(decoded.size(), values.size());
        EXPECT_TRUE(std::equal(decoded.begin(), decoded.end(), values.begin()));
    }
}

Status AppendTo(void* context, const uint8_t* data, uint32_t size) {
    ((Bytes*)context)->insert(((Bytes*)context)->end(), data, data + size);
    return STATUS_OK;
}

// Steps on a full mantissa table (total 2168, near its rescale) from a range
// of 2100, set up by hand on both sides: `low` 1656 above a multiple of 2048
// takes one widening round, 2044 above takes two.
TEST(NarrowInterval, NarrowStepsWidenInOneOrTwoRoundsOnBothSides) {
    const int symbols[] = {3, 100, 5, 5, 127};
    for (uint32_t low : {0x12345678u, 0x123457FCu}) {
        for (int odd : {1, 0}) {
            SCOPED_TRACE(::testing::Message() << std::hex << low << (odd ? " odd" : " plain"));
            Bytes stream;
            RangeEncoder* rc = new RangeEncoder;
            ASSERT_TRUE(rc_encode_start(rc, odd, AppendTo, &stream).ok());
            Frequency* t = rc->models.freq_second[7];
            for (int i = 0; i < 510; i++) update_frequency(t, 5, odd);
            rc->low = low;
            rc->range = 2100;
            for (int s : symbols) rc_encode_symbol(rc, t, s);
            EXPECT_EQ(1u, rc->widened_steps);
            stream.insert(stream.end(), rc->out, rc->out + rc->out_fill);
            for (int shift = 24; shift >= 0; shift -= 8)
                stream.push_back((uint8_t)(rc->low >> shift));
            rc_encode_release(rc);
            delete rc;

            for (bool rule : {true, false}) {
                TempFile file;
                file.Write(stream);
                std::vector<uint8_t> buffer(64);
                ModelSet m;
                ASSERT_TRUE(init_global(&m));
                for (int i = 0; i < 510; i++) update_frequency(m.freq_second[7], 5, odd);
                RangeDecoder d;
                FileHandle input = file.handle();
                rc_start(&d, RefillFromFile, &input, buffer.data(), (uint32_t)buffer.size());
                NarrowIntervalRuleSetting rule_setting(rule);
                d.low = low;
                d.range = 2100;
                if (rule) {
                    for (int s : symbols) EXPECT_EQ(s, RC_DECODE(m.freq_second[7], &d, odd));
                    EXPECT_EQ(1u, d.widened_steps);
                    EXPECT_EQ(stream.size(), d.LPos);
                } else {
                    EXPECT_EQ(-1, RC_DECODE(m.freq_second[7], &d, odd));
                }
                free_frequency(&m);
            }
        }
    }
}

// Pseudo-random inputs found with writer_narrow_search, of one full sorting
// block, whose streams need the widening under one rescale rule or both. The
// writer keeps the stream of the preferred rule unless only that one needs
// it; above the retry limit it keeps it anyway.
TEST(NarrowInterval, WriterKeepsTheStreamThatNeedsNoWidening) {
    const struct {
        uint64_t seed;
        bool odd_needs_it, plain_needs_it;
    } inputs[] = {{38, true, false}, {5, false, true}, {93, true, true}};
    const size_t size = 0x100000 - 3;
    for (const auto& input : inputs) {
        Bytes data = PseudoRandomBytes(input.seed, size);
        for (bool odd : {true, false}) {
            for (uint64_t retry_limit : {RESCALE_RETRY_LIMIT, (uint64_t)size - 1}) {
                SCOPED_TRACE(::testing::Message() << "seed " << input.seed << ", odd rule " << odd
                                                  << ", retry limit " << retry_limit);
                bool needs_it = odd ? input.odd_needs_it : input.plain_needs_it;
                bool other_needs_it = odd ? input.plain_needs_it : input.odd_needs_it;
                bool switch_rule = needs_it && !other_needs_it && retry_limit >= size;
                CompressOptions options{odd, 1};
                options.retry_limit = retry_limit;
                Bytes stored;
                CompressResult result = compress_buffer(data.data(), size, options, &stored);
                ASSERT_EQ(result.status.cause, CAUSE_OK);
                EXPECT_EQ(odd != switch_rule, result.odd_rescale);
                EXPECT_EQ(needs_it && !switch_rule, result.widened_steps > 0);
                ChainResult chain = DecodeChain(stored, result.odd_rescale);
                EXPECT_TRUE(chain.output == data);
                EXPECT_EQ(result.widened_steps, chain.widened_steps);
            }
        }
    }
}

}  // namespace
