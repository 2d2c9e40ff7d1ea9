// The four stages one after the other, as the extractor runs them, and the
// bit-flip sweep over stored entries.
#include <gtest/gtest.h>

#include "codec/012coding.h"
#include "fuzz/harness.h"
#include "tests/codec/codec_test_util.h"

namespace {

TEST(Chain, WorkedExampleThroughEveryStageUnderBothRules) {
    for (int odd = 0; odd <= 1; odd++) {
        StageRun s1 = RunStage1(kExampleStored, odd);
        EXPECT_EQ(s1.result, CAUSE_OK);
        EXPECT_EQ(s1.output, kExampleAfterStage1);
        EXPECT_EQ(s1.pumps, 0u);  // 26 bytes, less than one pump interval
        StageRun s2 = RunStage2(s1.output);
        EXPECT_EQ(s2.output, kExampleAfterStage2);
        EXPECT_EQ(s2.pumps, 1u);
        StageRun s3 = RunStage3(s2.output);
        EXPECT_EQ(s3.result, CAUSE_OK);
        EXPECT_EQ(s3.output, kExampleAfterStage3);
        EXPECT_EQ(s3.pumps, 2u);
        StageRun s4 = RunStage4(s3.output);
        EXPECT_EQ(s4.result, CAUSE_OK);
        EXPECT_EQ(s4.output, TextBytes("abracadabra aaaaaaaa"));
        EXPECT_EQ(s4.pumps, 1u);
        Bytes out;
        EXPECT_EQ(DecodeChain(kExampleStored.data(), kExampleStored.size(), odd, &out), 1);
        EXPECT_EQ(out, TextBytes("abracadabra aaaaaaaa"));
    }
}

TEST(Chain, TestWritersMirrorTheExample) {
    Bytes rle = RleEncode(TextBytes("abracadabra aaaaaaaa"));
    EXPECT_EQ(rle, kExampleAfterStage3);
    EXPECT_EQ(MtfEncode(kExampleAfterStage2), kExampleAfterStage1);
    for (int odd = 0; odd <= 1; odd++) {
        Bytes stream;
        ASSERT_TRUE(RangeEncode(kExampleAfterStage1, odd, &stream));
        EXPECT_EQ(stream, kExampleStored);
    }
}

// Builds a stored entry with the test-side writers.
bool StoreEntry(const Bytes& data, int odd, Bytes* stored) {
    return RangeEncode(MtfEncode(BwtEncode(RleEncode(data))), odd, stored);
}

TEST(Chain, DecodesEntriesAcrossBlockBoundaries) {
    // Chosen so that the intermediate streams straddle the 1 MiB boundaries.
    const size_t sizes[] = {1, 300, 0x100000 - 1, 0x100000, 0x100000 + 1};
    for (size_t n : sizes) {
        int odd = (int)(n & 1);
        Bytes data = RandomBytes(n, (uint32_t)n + 1, 16), stored;
        ASSERT_TRUE(StoreEntry(data, odd, &stored)) << n;
        Bytes out;
        ASSERT_EQ(DecodeChain(stored.data(), stored.size(), odd, &out), 1) << n;
        EXPECT_TRUE(out == data) << n;
    }
}

TEST(Chain, BitFlipSweepGivesAClearResultEveryTime) {
    std::vector<SweepEntry> entries = SweepEntries();
    Bytes text = TextBytes(
        "It was the best of times, it was the worst of times, it was the age of wisdom, "
        "it was the age of foolishness........ 0000000000000000000000 ~~~~~~ \x01\x02\x03");
    Bytes runny = RunnyBytes(3000, 17);
    for (int odd = 0; odd <= 1; odd++) {
        for (const Bytes& data : {text, runny}) {
            SweepEntry e;
            e.fNewType = odd;
            e.original = data;
            ASSERT_TRUE(StoreEntry(data, odd, &e.stored));
            entries.push_back(e);
        }
    }
    uint32_t total_flips = 0;
    for (const SweepEntry& e : entries) {
        Bytes out;
        ASSERT_EQ(DecodeChain(e.stored.data(), e.stored.size(), e.fNewType, &out), 1);
        ASSERT_EQ(out, e.original);
        SweepCount count = BitFlipSweep(e.stored, e.fNewType);
        EXPECT_EQ(count.decoded + count.damaged, e.stored.size() * 8);
        EXPECT_GT(count.damaged, 0u);
        total_flips += count.decoded + count.damaged;
    }
    EXPECT_GT(total_flips, 2000u);
    FuzzCleanup();
}

}  // namespace
