// The literal decoder gives the stored format's fixed vectors, and the
// product's decoders (file chain and in-memory cores) give what it gives, on
// the vectors, on entries of varied data, on blocks that need the segmented
// walk, on streams that need the narrow-interval rule and on garbage.
#include <gtest/gtest.h>

#include "codec/012coding.h"
#include "codec/BlockSorting.h"
#include "decoder/stage_files.h"
#include "fuzz/harness.h"
#include "platform/byte_order.h"
#include "tests/codec/codec_test_util.h"
#include "tests/reference/literal_decoder.h"

namespace {

const Bytes kText = TextBytes("abracadabra aaaaaaaa");

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes SortedBlock(uint32_t top, const Bytes& last_column) {
    Bytes header(BS_HEADER_SIZE);
    Store24BE(header.data(), top);
    Store24BE(header.data() + 3, (uint32_t)last_column.size());
    return Cat(header, last_column);
}

// The product agrees with the literal decoder on stage 1 under every buffer
// and piece size the drivers use.
void ExpectStage1Agrees(const Bytes& stream, int odd, bool rule = true) {
    for (uint32_t buffer_size : {4u, 7u, 4096u})
        for (uint32_t piece : {1u, 4096u})
            EXPECT_EQ(CompareStage1(stream.data(), stream.size(), odd, rule, buffer_size, piece),
                      nullptr);
}

struct Vector {
    Bytes input;
    Cause verdict;
    Bytes output;
};

TEST(LiteralDecoder, GivesTheFixedVectorsAndTheDecodersAgree) {
    const Vector stage1[] = {
        {MakeBytes({0xFF, 0xEA, 0xAA, 0x7B, 0x00}), CAUSE_OK, Bytes()},
        {MakeBytes({0x45, 0x7E, 0xDE, 0xF5, 0x97, 0xE0, 0xAC, 0x00}), CAUSE_OK,
         MakeBytes({0, 1, 2, 3, 0xFF})},
        {MakeBytes({0x45, 0x7E, 0xDE, 0xF5, 0x97, 0xE0, 0xAC}), CAUSE_OK,
         MakeBytes({0, 1, 2, 3, 0xFF})},  // the last byte read as 0x00
        {kExampleStored, CAUSE_OK, kExampleAfterStage1},
        {Bytes(), CAUSE_DAMAGED, Bytes()},
    };
    for (int odd = 0; odd <= 1; odd++) {
        for (const Vector& v : stage1) {
            literal::Stage1Outcome got = literal::DecodeStage1(v.input, odd);
            EXPECT_EQ(got.result, v.verdict);
            ExpectStage1Agrees(v.input, odd);
            if (v.verdict != CAUSE_OK) continue;
            EXPECT_EQ(got.values, v.output);
            Bytes stream;
            ASSERT_TRUE(RangeEncode(v.output, odd, &stream));
            EXPECT_EQ(literal::DecodeStage1(stream, odd).values, v.output);
        }
    }
    // Sixty-four zeros under each rescale rule; the odd stream is damaged under the plain rule.
    const Bytes zeros_odd = MakeBytes({0x0A, 0xD0, 0xB5, 0x78, 0xFA, 0x00});
    const Bytes zeros_plain = MakeBytes({0x0A, 0xD0, 0xBA, 0xC7, 0x54, 0x00});
    EXPECT_EQ(literal::DecodeStage1(zeros_odd, true).values, Bytes(64, 0));
    EXPECT_EQ(literal::DecodeStage1(zeros_plain, false).values, Bytes(64, 0));
    EXPECT_EQ(literal::DecodeStage1(zeros_odd, false).result, CAUSE_DAMAGED);
    ExpectStage1Agrees(zeros_odd, 1);
    ExpectStage1Agrees(zeros_plain, 0);
    ExpectStage1Agrees(zeros_odd, 0);

    const Vector stage2[] = {
        {MakeBytes({98, 1, 0, 1, 1}), CAUSE_OK, MakeBytes({98, 98, 98, 0, 0})},
        {MakeBytes({2, 0}), CAUSE_OK, MakeBytes({2, 0})},
        {MakeBytes({3, 3, 3}), CAUSE_OK, MakeBytes({3, 2, 1})},
        {MakeBytes({255, 255, 1, 1, 0}), CAUSE_OK, MakeBytes({255, 254, 254, 0, 0})},
        {MakeBytes({1, 1}), CAUSE_OK, MakeBytes({1, 0})},
        {kExampleAfterStage1, CAUSE_OK, kExampleAfterStage2},
    };
    for (const Vector& v : stage2) {
        EXPECT_EQ(literal::DecodeStage2(v.input), v.output);
        EXPECT_EQ(CompareStage2(v.input.data(), v.input.size()), nullptr);
        EXPECT_EQ(MtfEncode(v.output), v.input);
    }

    const Bytes banana = SortedBlock(3, TextBytes("nnbaaa"));
    const Vector stage3[] = {
        {banana, CAUSE_OK, TextBytes("banana")},
        {SortedBlock(0, MakeBytes({0x5A})), CAUSE_OK, MakeBytes({0x5A})},
        {kExampleAfterStage2, CAUSE_OK, kExampleAfterStage3},
        {Cat(banana, SortedBlock(0, TextBytes("zzz"))), CAUSE_OK, TextBytes("banana")},
        {Cat(SortedBlock(0xABCDEF, Bytes()), banana), CAUSE_OK, Bytes()},
        {SortedBlock(6, TextBytes("nnbaaa")), CAUSE_DAMAGED, Bytes()},
        {Bytes(banana.begin(), banana.end() - 1), CAUSE_DAMAGED, Bytes()},
        {Bytes(banana.begin(), banana.begin() + 5), CAUSE_DAMAGED, Bytes()},
    };
    for (const Vector& v : stage3) {
        Bytes out;
        EXPECT_EQ(literal::DecodeStage3(v.input, &out), v.verdict);
        EXPECT_EQ(out, v.output);
        EXPECT_EQ(CompareStage3(v.input.data(), v.input.size()), nullptr);
    }

    const Vector stage4[] = {
        {RleBlock(MakeBytes({0x41, 0x41, 0x41, 0x41, 0x02, 0x42})), CAUSE_OK,
         Cat(Bytes(6, 0x41), MakeBytes({0x42}))},
        {RleBlock(MakeBytes({0x41, 0x41, 0x41, 0x42})), CAUSE_OK,
         MakeBytes({0x41, 0x41, 0x41, 0x42})},
        {RleBlock(MakeBytes({0x41, 0x41, 0x41, 0x41, 0x00, 0x41})), CAUSE_OK, Bytes(5, 0x41)},
        {RleBlock(MakeBytes({0x41, 0x41, 0x41, 0x41, 0xFF})), CAUSE_OK, Bytes(259, 0x41)},
        {kExampleAfterStage3, CAUSE_OK, kText},
        {Cat(RleBlock(TextBytes("ab")), RleBlock(TextBytes("cd"))), CAUSE_OK, TextBytes("ab")},
        {MakeBytes({0, 0, 0, 'a'}), CAUSE_DAMAGED, Bytes()},
        {RleBlock(MakeBytes({'a', 'b', 'b', 'b', 'b'})), CAUSE_DAMAGED, Bytes()},
        {MakeBytes({5, 0, 0, 'a'}), CAUSE_DAMAGED, Bytes()},
        {MakeBytes({5, 0}), CAUSE_DAMAGED, Bytes()},
    };
    for (const Vector& v : stage4) {
        Bytes out;
        EXPECT_EQ(literal::DecodeStage4(v.input, &out), v.verdict);
        EXPECT_EQ(out, v.output);
        EXPECT_EQ(CompareStage4(v.input.data(), v.input.size()), nullptr);
    }
    EXPECT_EQ(RleEncode(kText), kExampleAfterStage3);

    for (int odd = 0; odd <= 1; odd++) {
        Bytes out;
        EXPECT_EQ(literal::DecodeEntry(kExampleStored, 20, odd, &out), CAUSE_OK);
        EXPECT_EQ(out, kText);
        EXPECT_EQ(literal::DecodeEntry(kExampleStored, 21, odd, &out), CAUSE_DAMAGED);
        for (uint32_t size : {19u, 20u, 21u})
            EXPECT_EQ(CompareEntry(kExampleStored.data(), kExampleStored.size(), size, odd),
                      nullptr);
    }
    FuzzCleanup();
}

// Entries of every kind of data the test-side writers make, across the
// block boundaries of every stage.
TEST(LiteralDecoder, DecodersAgreeOnEntriesOfVariedData) {
    const size_t sizes[] = {0, 1, 300, 5000, 70000, 0x100000 - 1, 0x100000 + 1};
    int entries = 0;
    for (size_t n : sizes) {
        for (uint32_t kind = 0; kind < 3; kind++) {
            if (n > 70000 && kind != 1) continue;  // the test writer sorts slowly
            Bytes data = kind == 0   ? RunnyBytes(n, (uint32_t)n)
                         : kind == 1 ? RandomBytes(n, (uint32_t)n + 7, 16)
                                     : RandomBytes(n, (uint32_t)n + 3);
            int odd = (int)((n + kind) & 1);
            Bytes stored;
            ASSERT_TRUE(RangeEncode(MtfEncode(BwtEncode(RleEncode(data))), odd, &stored));
            Bytes out;
            ASSERT_EQ(literal::DecodeEntry(stored, (uint32_t)n, odd, &out), CAUSE_OK) << n;
            EXPECT_TRUE(out == data) << n;
            EXPECT_EQ(CompareEntry(stored.data(), stored.size(), (uint32_t)n, odd), nullptr) << n;
            entries++;
        }
    }
    EXPECT_EQ(entries, 17);
    FuzzCleanup();
}

// Large blocks are walked in segments: valid and arbitrary last columns, one
// whose walk is a short cycle (a repeated pattern) and one of a single byte.
TEST(LiteralDecoder, DecodersAgreeOnLargeBlocks) {
    const uint32_t n = BS_SEGMENTED_WALK_MIN + 4097;
    const uint32_t k = n / 2;
    Bytes ab_pattern = Cat(Bytes(k, 'b'), Bytes(k, 'a'));  // the last column of "abab..."
    Bytes expected_ab;
    for (uint32_t i = 0; i < k; i++) expected_ab.insert(expected_ab.end(), {'a', 'b'});
    EXPECT_EQ(literal::RestoreBlock(ab_pattern, 0), expected_ab);
    EXPECT_EQ(CompareStage3(SortedBlock(0, ab_pattern).data(), 6 + ab_pattern.size()), nullptr);
    Bytes same(n, 'q');
    EXPECT_EQ(CompareStage3(SortedBlock(n - 1, same).data(), 6 + same.size()), nullptr);

    for (uint32_t size : {BS_SEGMENTED_WALK_MIN - 1, BS_SEGMENTED_WALK_MIN, n, BS_BUF_SIZE}) {
        Bytes data = RandomBytes(size, size, 64);
        uint32_t top = 0;
        Bytes last;
        BwtBlock(data, &top, &last);
        Bytes block = SortedBlock(top, last);
        EXPECT_EQ(literal::RestoreBlock(last, top), data);
        EXPECT_EQ(CompareStage3(block.data(), block.size()), nullptr) << size;
        // An arbitrary last column: its walk from `top` may close on itself early.
        Bytes arbitrary = SortedBlock(size / 3, RandomBytes(size, size + 1, 3));
        EXPECT_EQ(CompareStage3(arbitrary.data(), arbitrary.size()), nullptr) << size;
    }
}

// Random bytes that were found to drive the range coder below a mantissa
// table's total: the rule widens one step, and without it the stream fails.
TEST(LiteralDecoder, DecodersAgreeOnStreamsThatNeedTheNarrowIntervalRule) {
    const struct {
        uint32_t seed;
        int odd;
    } cases[] = {{233, 0}, {1305, 1}};
    for (const auto& c : cases) {
        Bytes data = RandomBytes(20000, c.seed), stream;
        uint32_t writer_widened = 0;
        ASSERT_TRUE(RangeEncode(data, c.odd, &stream, &writer_widened));
        EXPECT_EQ(writer_widened, 1u);
        literal::Stage1Outcome got = literal::DecodeStage1(stream, c.odd);
        EXPECT_EQ(got.result, CAUSE_OK);
        EXPECT_TRUE(got.values == data);
        EXPECT_EQ(got.widened_steps, 1u);
        EXPECT_EQ(literal::DecodeStage1(stream, c.odd, false).result, CAUSE_DAMAGED);
        ExpectStage1Agrees(stream, c.odd, true);
        ExpectStage1Agrees(stream, c.odd, false);

        TempFile in(stream), out;
        uint32_t widened = 99;
        EXPECT_EQ(
            coding012_decode(in.handle(), out.handle(), c.odd, NO_PUMP, NO_OUTPUT_LIMIT, &widened)
                .cause,
            CAUSE_OK);
        EXPECT_EQ(widened, 1u);
        EXPECT_TRUE(out.Read() == data);
    }
}

// Garbage of every kind: mostly refused, sometimes decoded, always alike.
TEST(LiteralDecoder, DecodersAgreeOnGarbage) {
    for (uint32_t seed = 1; seed <= 150; seed++) {
        Bytes noise = RandomBytes(1 + seed * 7, seed, seed % 2 ? 256 : 3);
        const uint8_t* p = noise.data();
        size_t n = noise.size();
        ExpectStage1Agrees(noise, seed & 1, (seed & 2) != 0);
        EXPECT_EQ(CompareStage2(p, n), nullptr);
        EXPECT_EQ(CompareStage3(p, n), nullptr);
        EXPECT_EQ(CompareStage4(p, n), nullptr);
        EXPECT_EQ(CompareEntry(p, n, seed, seed & 1), nullptr);
    }
    FuzzCleanup();
}

}  // namespace
