// Stage 4: run-length expansion, and the size walk that precedes it.
#include <gtest/gtest.h>

#include "codec/RunLength.h"
#include "decoder/stage_files.h"
#include "tests/codec/codec_test_util.h"
#include "tests/test_hooks.h"

namespace {

Bytes Expand(const Bytes& coded, int32_t* size) {
    Bytes out(RLE_BUF_SIZE);
    *size = rle_decode2(coded.data(), out.data(), (uint32_t)coded.size(), RLE_THRESHOLD);
    out.resize(*size < 0 ? 0 : (size_t)*size);
    return out;
}
Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
// The size walk's answer: the expanded size, or minus the failure's cause.
int64_t ExpandedSize(const Bytes& input) {
    TempFile in(input);
    uint64_t size = 0;
    Cause result = rle_expanded_size(in.handle(), &size).cause;
    return result == CAUSE_OK ? (int64_t)size : -(int64_t)result;
}
const int64_t REFUSED = -(int64_t)CAUSE_DAMAGED;

TEST(RunLength, FourEqualBytesTakeACountByte) {
    int32_t n = 0;
    EXPECT_EQ(Expand(MakeBytes({0x41, 0x41, 0x41, 0x41, 0x02, 0x42}), &n),
              Cat(Bytes(6, 0x41), MakeBytes({0x42})));
    EXPECT_EQ(n, 7);
    EXPECT_EQ(Expand(MakeBytes({0x41, 0x41, 0x41, 0x42}), &n), MakeBytes({0x41, 0x41, 0x41, 0x42}));
    EXPECT_EQ(Expand(MakeBytes({0x41, 0x41, 0x41, 0x41, 0x00, 0x41}), &n), Bytes(5, 0x41));
    EXPECT_EQ(Expand(MakeBytes({0x41, 0x41, 0x41, 0x41, 0xFF}), &n), Bytes(259, 0x41));
    // A count byte equal to the run's byte is still a count.
    EXPECT_EQ(Expand(MakeBytes({7, 7, 7, 7, 7, 7}), &n), Bytes(11 + 1, 7));
}

TEST(RunLength, HeaderIsLeastSignificantByteFirst) {
    StageRun run = RunStage4(MakeBytes({0x06, 0x00, 0x00, 0x41, 0x41, 0x41, 0x41, 0x02, 0x42}));
    EXPECT_EQ(run.result, CAUSE_OK);
    EXPECT_EQ(run.output, Cat(Bytes(6, 0x41), MakeBytes({0x42})));
    EXPECT_EQ(run.pumps, 1u);
}

TEST(RunLength, ExpandsWhatTheTestWriterCoded) {
    for (uint32_t seed = 1; seed <= 20; seed++) {
        Bytes data = RunnyBytes(seed * 997, seed);
        StageRun run = RunStage4(RleEncode(data));
        ASSERT_EQ(run.result, CAUSE_OK);
        ASSERT_EQ(run.output, data);
    }
}

TEST(RunLength, BlockBoundaries) {
    struct Case {
        uint32_t size, pumps;
    } cases[] = {{RLE_BUF_SIZE - 1, 1}, {RLE_BUF_SIZE, 1}, {RLE_BUF_SIZE + 1, 2}};
    for (const Case& k : cases) {
        Bytes data = RunnyBytes(k.size, k.size);
        Bytes coded = RleEncode(data);
        StageRun run = RunStage4(coded);
        EXPECT_EQ(run.result, CAUSE_OK);
        EXPECT_EQ(run.pumps, k.pumps) << k.size;
        EXPECT_TRUE(run.output == data) << k.size;
        EXPECT_EQ(ExpandedSize(coded), (int64_t)k.size);
    }
}

TEST(RunLength, ShortBlockEndsTheStage) {
    Bytes coded = Cat(RleBlock(TextBytes("ab")), RleBlock(TextBytes("cd")));
    StageRun run = RunStage4(coded);
    EXPECT_EQ(run.result, CAUSE_OK);
    EXPECT_EQ(run.output, TextBytes("ab"));
    EXPECT_EQ(ExpandedSize(coded), 2);
    // After a full block the next one is read.
    Bytes full = RleEncode(Bytes(RLE_BUF_SIZE, 'z'));
    coded = Cat(Cat(full, RleBlock(TextBytes("ab"))), RleBlock(TextBytes("cd")));
    run = RunStage4(coded);
    EXPECT_EQ(run.result, CAUSE_OK);
    EXPECT_EQ(run.output, Cat(Bytes(RLE_BUF_SIZE, 'z'), TextBytes("ab")));
    EXPECT_EQ(run.pumps, 2u);
    EXPECT_EQ(ExpandedSize(coded), RLE_BUF_SIZE + 2);
}

TEST(RunLength, InputCutShortWritesNothingForThatBlock) {
    Bytes coded = RleBlock(TextBytes("hello"));
    for (size_t keep = 1; keep < coded.size(); keep++) {
        Bytes cut(coded.begin(), coded.begin() + keep);
        StageRun run = RunStage4(cut);
        EXPECT_EQ(run.result, CAUSE_DAMAGED) << keep;
        EXPECT_TRUE(run.output.empty());
        EXPECT_EQ(run.pumps, 0u);
        EXPECT_EQ(ExpandedSize(cut), -1);
    }
    StageRun empty = RunStage4(Bytes());
    EXPECT_EQ(empty.result, CAUSE_OK);
    EXPECT_TRUE(empty.output.empty());
    EXPECT_EQ(ExpandedSize(Bytes()), 0);
}

TEST(RunLength, RefusesBlocksOutsideTheFormat) {
    Bytes full = RleEncode(Bytes(RLE_BUF_SIZE, 'z'));
    Bytes two_mib_plus_one = MakeBytes({0x01, 0x00, 0x20});
    two_mib_plus_one.resize(3 + 0x200001, 'a');
    Bytes too_long_expansion;       // 0x100000 + 1 bytes from one block
    for (int i = 0; i < 4032; i++)  // 260 bytes per group
        too_long_expansion.insert(too_long_expansion.end(), {9, 9, 9, 9, 255, 8});
    too_long_expansion.insert(too_long_expansion.end(), {9, 9, 9, 9, 253});
    const Bytes refused[] = {
        MakeBytes({0, 0, 0, 'a'}),                       // beforesize 0
        two_mib_plus_one,                                // beforesize above the input buffer
        RleBlock(MakeBytes({'a', 'b', 'b', 'b', 'b'})),  // count byte at the block end
        RleBlock(too_long_expansion),                    // expansion past RLE_BUF_SIZE
    };
    for (const Bytes& block : refused) {
        for (int after_full = 0; after_full <= 1; after_full++) {
            Bytes input = after_full ? Cat(full, block) : block;
            StageRun run = RunStage4(input);
            EXPECT_EQ(run.result, CAUSE_DAMAGED);
            EXPECT_EQ(run.output.size(), after_full ? RLE_BUF_SIZE : 0u);
            EXPECT_EQ(run.pumps, (uint32_t)after_full);
            EXPECT_EQ(ExpandedSize(input), REFUSED);
        }
    }
    int32_t n = 0;
    Expand(MakeBytes({'b', 'b', 'b', 'b'}), &n);
    EXPECT_EQ(n, -1);
    Expand(too_long_expansion, &n);
    EXPECT_EQ(n, -1);
    // Exactly RLE_BUF_SIZE from one block is fine.
    too_long_expansion.back() = 252;
    Expand(too_long_expansion, &n);
    EXPECT_EQ(n, (int32_t)RLE_BUF_SIZE);
    // The same limit for bytes outside runs, which are taken several at a time.
    Bytes singles = RandomBytes(RLE_BUF_SIZE + 1, 4);
    for (size_t i = 1; i < singles.size(); i++)
        if (singles[i] == singles[i - 1]) singles[i] ^= 1;  // no two equal neighbours
    Expand(singles, &n);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(rle_decode2(singles.data(), NULL, (uint32_t)singles.size(), RLE_THRESHOLD), -1);
    singles.pop_back();
    Bytes out = Expand(singles, &n);
    EXPECT_EQ(n, (int32_t)RLE_BUF_SIZE);
    EXPECT_TRUE(out == singles);
}

TEST(RunLength, EveryFailedAllocationIsReported) {
    Bytes coded = RleBlock(TextBytes("hello"));
    StageRun last;
    EXPECT_EQ(FailEachAllocation([&] { return RunStage4(coded); }, &last), 2);
    EXPECT_EQ(last.output, TextBytes("hello"));
    FailAllocationAfter = 1;
    EXPECT_EQ(ExpandedSize(coded), -(int64_t)CAUSE_NO_MEMORY);
    FailAllocationAfter = 0;
    EXPECT_EQ(ExpandedSize(coded), 5);
}

TEST(RunLength, FailedReadOrWriteIsReported) {
    EXPECT_TRUE(EveryIoFailureIsReported(
        RleBlock(TextBytes("hello")),
        [](FileHandle in, FileHandle out) { return rle_decode(in, out, NO_PUMP); }));
    uint64_t size = 0;
    EXPECT_EQ(rle_expanded_size(NO_FILE, &size).cause, CAUSE_READ_FAILED);
    std::string path = TempPath();
    FileHandle write_only = OpenWriteOnly(path.c_str());
    ASSERT_NE(write_only, NO_FILE);
    EXPECT_EQ(rle_expanded_size(write_only, &size).cause, CAUSE_READ_FAILED);
    CloseFile(write_only);
    remove(path.c_str());
}

}  // namespace
