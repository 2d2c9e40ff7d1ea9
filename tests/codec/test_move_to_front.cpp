// Stage 2: the move-to-front variant, in chunks of MTF_BUF_SIZE.
#include <gtest/gtest.h>

#include "codec/MoveToFront.h"
#include "decoder/stage_files.h"
#include "tests/codec/codec_test_util.h"

namespace {

Bytes Decode2(const Bytes& in) {
    Bytes out(in.size());
    mtf_decode2(in.data(), out.data(), (uint32_t)in.size());
    return out;
}

TEST(MoveToFront, IndexOneExchangesOnlyAfterANonZeroIndex) {
    EXPECT_EQ(Decode2(MakeBytes({98, 1, 0, 1, 1})), MakeBytes({98, 98, 98, 0, 0}));
}

TEST(MoveToFront, SeenByteMovesToSecondPlace) {
    EXPECT_EQ(Decode2(MakeBytes({2, 0})), MakeBytes({2, 0}));
    EXPECT_EQ(Decode2(MakeBytes({3, 3, 3})), MakeBytes({3, 2, 1}));
    EXPECT_EQ(Decode2(MakeBytes({255, 255, 1, 1, 0})), MakeBytes({255, 254, 254, 0, 0}));
}

TEST(MoveToFront, FirstIndexOneOfAChunkExchanges) {
    EXPECT_EQ(Decode2(MakeBytes({1, 1})), MakeBytes({1, 0}));
}

TEST(MoveToFront, DecodesWhatTheTestWriterCoded) {
    Bytes data = RunnyBytes(50000, 9);
    EXPECT_EQ(Decode2(MtfEncode(data)), data);
    Bytes text = TextBytes("the quick brown fox jumps over the lazy dog, again and again");
    EXPECT_EQ(Decode2(MtfEncode(text)), text);
}

TEST(MoveToFront, ChunkBoundaries) {
    struct Case {
        uint32_t size, pumps;
    } cases[] = {{0, 1}, {1, 1}, {MTF_BUF_SIZE - 1, 1}, {MTF_BUF_SIZE, 2}, {MTF_BUF_SIZE + 1, 2}};
    for (const Case& k : cases) {
        Bytes data = RandomBytes(k.size, k.size + 1, 200);
        Bytes coded = MtfEncode(data);
        if (k.size == MTF_BUF_SIZE + 1) coded.back() = 77;  // fresh table: index 77 is byte 77
        StageRun run = RunStage2(coded);
        EXPECT_EQ(run.result, CAUSE_OK);
        EXPECT_EQ(run.pumps, k.pumps) << k.size;
        ASSERT_EQ(run.output.size(), k.size);
        if (k.size == MTF_BUF_SIZE + 1) {
            EXPECT_EQ(run.output.back(), 77);
            data.back() = 77;
        }
        EXPECT_TRUE(run.output == data) << k.size;
    }
}

TEST(MoveToFront, EveryFailedAllocationIsReported) {
    StageRun last;
    EXPECT_EQ(FailEachAllocation([] { return RunStage2(MakeBytes({5, 1, 2})); }, &last), 2);
    EXPECT_EQ(last.result, CAUSE_OK);
    EXPECT_EQ(last.output, MakeBytes({5, 5, 1}));
}

TEST(MoveToFront, FailedReadOrWriteIsReported) {
    EXPECT_TRUE(EveryIoFailureIsReported(MakeBytes({1, 2, 3}), [](FileHandle in, FileHandle out) {
        return mtf_decode(in, out, NO_PUMP);
    }));
}

}  // namespace
