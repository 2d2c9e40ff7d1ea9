// Stage 3: inverse block sorting.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "codec/BlockSorting.h"
#include "decoder/stage_files.h"
#include "platform/byte_order.h"
#include "tests/codec/codec_test_util.h"

namespace {

Bytes Block(uint32_t top, const Bytes& last_column, uint32_t size_field) {
    Bytes out =
        MakeBytes({(int)(top >> 16), (int)(top >> 8) & 0xFF, (int)top & 0xFF,
                   (int)(size_field >> 16), (int)(size_field >> 8) & 0xFF, (int)size_field & 0xFF});
    out.insert(out.end(), last_column.begin(), last_column.end());
    return out;
}
Bytes Block(uint32_t top, const Bytes& last_column) {
    return Block(top, last_column, (uint32_t)last_column.size());
}
Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(BlockSorting, RestoresTheSixLetterExample) {
    StageRun run = RunStage3(Block(3, TextBytes("nnbaaa")));
    EXPECT_EQ(run.result, CAUSE_OK);
    EXPECT_EQ(run.output, TextBytes("banana"));
    EXPECT_EQ(run.pumps, 2u);
}

// The walk from top 1 over "acb" comes back to row 1 after two steps, which do
// not divide the size: walked backwards it would give "cbc"; the block is
// what the walk forwards gives.
TEST(BlockSorting, WalkThatClosesEarlyGivesTheForwardWalksBytes) {
    EXPECT_EQ(RunStage3(Block(1, TextBytes("acb"))).output, TextBytes("bcb"));
    Bytes restored(3);
    std::vector<uint32_t> work(blocksort_work_words(3));
    blocksort_restore_walking(TextBytes("acb").data(), restored.data(), 1, 3, work.data(), NO_PUMP,
                              true);
    EXPECT_EQ(restored, TextBytes("bcb"));
}

// Two threads walking one block, the second joining at some point of the
// first's walk, or after it: the block comes out whole whichever segments
// each took.
TEST(BlockSorting, WalkSharedWithAThreadThatJoinsLate) {
    Bytes data = RunnyBytes(BS_BUF_SIZE - 7, 3);
    Bytes coded = BwtEncode(data);
    uint32_t top = Load24BE(coded.data());
    std::vector<uint32_t> work(blocksort_work_words((uint32_t)data.size()));
    for (int delay_us : {0, 200, 1000, 5000, 50000}) {
        BlockRanks ranks;
        blocksort_rank_start(&ranks);
        blocksort_rank_part(&ranks, coded.data() + BS_HEADER_SIZE, (uint32_t)data.size(),
                            work.data());
        BlockRestore walk;
        blocksort_restore_begin(&walk, &ranks, top, work.data());
        std::thread helper([&walk, delay_us] {
            std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
            blocksort_restore_walk_some(&walk);
        });
        blocksort_restore_walk_some(&walk);
        helper.join();
        Bytes restored(data.size());
        blocksort_restore_end(&walk, restored.data());
        ASSERT_TRUE(restored == data) << delay_us;
    }
}

TEST(BlockSorting, BlockOfOneByte) {
    StageRun run = RunStage3(Block(0, MakeBytes({0x5A})));
    EXPECT_EQ(run.result, CAUSE_OK);
    EXPECT_EQ(run.output, MakeBytes({0x5A}));
}

TEST(BlockSorting, WorkerCallsThePumpBetweenIndexAndWalk) {
    TempFile out;
    PumpCounter counter;
    Bytes last = TextBytes("nnbaaa"), restored(6);
    EXPECT_EQ(
        blocksort_decode2(last.data(), restored.data(), 3, 6, out.handle(), counter.pump()).cause,
        CAUSE_OK);
    EXPECT_EQ(counter.calls, 1u);
    EXPECT_EQ(restored, TextBytes("banana"));
    EXPECT_EQ(out.Read(), TextBytes("banana"));
}

TEST(BlockSorting, RestoresWhatTheTestWriterSorted) {
    for (uint32_t seed = 1; seed <= 40; seed++) {
        Bytes data =
            seed % 2 ? RandomBytes(seed * 7, seed, 1 + seed % 5) : RunnyBytes(seed * 11, seed);
        StageRun run = RunStage3(BwtEncode(data));
        ASSERT_EQ(run.result, CAUSE_OK);
        ASSERT_EQ(run.output, data) << seed;
    }
}

TEST(BlockSorting, BlockBoundaries) {
    Bytes big = RandomBytes(BS_BUF_SIZE + 1, 5);
    Bytes full(big.begin(), big.begin() + BS_BUF_SIZE);
    Bytes short_block(big.begin(), big.begin() + BS_BUF_SIZE - 1);
    {
        StageRun run = RunStage3(BwtEncode(short_block));
        EXPECT_EQ(run.result, CAUSE_OK);
        EXPECT_EQ(run.pumps, 2u);
        EXPECT_TRUE(run.output == short_block);
    }
    Bytes full_coded = BwtEncode(full);
    {
        StageRun run = RunStage3(full_coded);
        EXPECT_EQ(run.result, CAUSE_OK);
        EXPECT_EQ(run.pumps, 2u);
        EXPECT_TRUE(run.output == full);
    }
    {
        // A full block and a block of one; what follows is never read.
        Bytes coded =
            Cat(Cat(full_coded, Block(0, MakeBytes({big.back()}))), Block(0, TextBytes("x")));
        StageRun run = RunStage3(coded);
        EXPECT_EQ(run.result, CAUSE_OK);
        EXPECT_EQ(run.pumps, 4u);
        EXPECT_TRUE(run.output == big);
    }
}

TEST(BlockSorting, ShortFirstBlockEndsTheStage) {
    Bytes coded = Cat(Block(3, TextBytes("nnbaaa")), Block(0, TextBytes("zzz")));
    StageRun run = RunStage3(coded);
    EXPECT_EQ(run.result, CAUSE_OK);
    EXPECT_EQ(run.output, TextBytes("banana"));
}

TEST(BlockSorting, InputCutShortWritesNothingForThatBlock) {
    Bytes coded = Block(3, TextBytes("nnbaaa"));
    for (size_t keep = 1; keep < coded.size(); keep++) {
        StageRun run = RunStage3(Bytes(coded.begin(), coded.begin() + keep));
        EXPECT_EQ(run.result, CAUSE_DAMAGED) << keep;
        EXPECT_TRUE(run.output.empty());
        EXPECT_EQ(run.pumps, 0u);
    }
    StageRun empty = RunStage3(Bytes());
    EXPECT_EQ(empty.result, CAUSE_OK);
    EXPECT_TRUE(empty.output.empty());
}

TEST(BlockSorting, EmptyBlockEndsTheStageWithoutUsingTop) {
    StageRun run = RunStage3(Cat(Block(0xABCDEF, Bytes()), Block(3, TextBytes("nnbaaa"))));
    EXPECT_EQ(run.result, CAUSE_OK);
    EXPECT_TRUE(run.output.empty());
}

TEST(BlockSorting, RefusesBlocksOutsideTheFormat) {
    // top at or past the block end
    EXPECT_EQ(RunStage3(Block(6, TextBytes("nnbaaa"))).result, CAUSE_DAMAGED);
    EXPECT_EQ(RunStage3(Block(0xFFFFFF, TextBytes("nnbaaa"))).result, CAUSE_DAMAGED);
    EXPECT_EQ(RunStage3(Block(5, TextBytes("nnbaaa"))).result, CAUSE_OK);
    // size above BS_BUF_SIZE, even with the data present
    Bytes big(BS_BUF_SIZE + 1, 'q');
    StageRun run = RunStage3(Block(0, big));
    EXPECT_EQ(run.result, CAUSE_DAMAGED);
    EXPECT_TRUE(run.output.empty());
    EXPECT_EQ(run.pumps, 0u);
    EXPECT_EQ(RunStage3(Block(0, Bytes(8, 'q'), 0xFFFFFF)).result, CAUSE_DAMAGED);
    // A refused second block keeps the first.
    Bytes full(BS_BUF_SIZE, 'k');
    run = RunStage3(Cat(Block(0, full), Block(9, TextBytes("abc"))));
    EXPECT_EQ(run.result, CAUSE_DAMAGED);
    EXPECT_TRUE(run.output == full);
    EXPECT_EQ(run.pumps, 2u);
    Bytes last = TextBytes("nnbaaa"), restored(6);
    TempFile out;
    EXPECT_EQ(blocksort_decode2(last.data(), restored.data(), 6, 6, out.handle(), NO_PUMP).cause,
              CAUSE_DAMAGED);
    EXPECT_EQ(blocksort_decode2(last.data(), restored.data(), 0, 0, out.handle(), NO_PUMP).cause,
              CAUSE_DAMAGED);
    EXPECT_TRUE(out.Read().empty());
}

TEST(BlockSorting, EveryFailedAllocationIsReported) {
    Bytes coded = Block(3, TextBytes("nnbaaa"));
    StageRun last;
    // Two stage buffers and one index table.
    EXPECT_EQ(FailEachAllocation([&] { return RunStage3(coded); }, &last), 3);
    EXPECT_EQ(last.output, TextBytes("banana"));
}

TEST(BlockSorting, FailedReadOrWriteIsReported) {
    EXPECT_TRUE(EveryIoFailureIsReported(
        Block(3, TextBytes("nnbaaa")),
        [](FileHandle in, FileHandle out) { return blocksort_decode(in, out, NO_PUMP); }));
    std::string path = TempPath();
    FileHandle write_only = OpenWriteOnly(path.c_str());
    CloseFile(write_only);
    FileHandle read_only;
    OpenForReading(path.c_str(), &read_only);
    ASSERT_NE(read_only, NO_FILE);
    Bytes last = TextBytes("nnbaaa"), restored(6);
    EXPECT_EQ(blocksort_decode2(last.data(), restored.data(), 3, 6, read_only, NO_PUMP).cause,
              CAUSE_WRITE_FAILED);
    CloseFile(read_only);
    remove(path.c_str());
}

}  // namespace
