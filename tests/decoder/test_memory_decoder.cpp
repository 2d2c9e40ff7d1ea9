// The in-memory decoder against the work-file chain: the same bytes and the
// same verdict on sound entries of every shape, on damaged ones and on a
// decompression bomb, with one thread and with two.
#include <gtest/gtest.h>

#include "codec/BlockSorting_writer.h"
#include "codec/RunLength.h"
#include "codec/compress.h"
#include "decoder/decode_chain.h"
#include "decoder/memory_decoder.h"
#include "decoder/stage_files.h"
#include "tests/codec/codec_test_util.h"

namespace {

struct Outcome {
    Cause result;
    Bytes output;
    bool operator==(const Outcome& other) const {
        return result == other.result && output == other.output;
    }
};

std::ostream& operator<<(std::ostream& out, const Outcome& o) {
    return out << "result " << o.result << ", " << o.output.size() << " bytes";
}

StoredEntry EntryOf(const Bytes& stored, uint32_t original_size, bool odd) {
    StoredEntry entry = {(uint32_t)stored.size(), original_size, odd};
    return entry;
}

// The work-file chain. *stage1_bytes receives the length of stage 1's output
// when the chain got through (stage 2 writes as many bytes into the first
// work file), as far as stage 1 stored it.
Outcome ThroughWorkFiles(const Bytes& stored, const StoredEntry& entry, uint64_t* stage1_bytes) {
    TempFile archive(stored), first, second, target;
    SetFilePointer64(archive.handle(), 0, FILE_BEGIN);
    Cause result = CopyIntoWorkFile(archive.handle(), first.handle(), entry.storedSize).cause;
    if (result == CAUSE_OK)
        result = DecodeWorkFiles(first.handle(), second.handle(), entry, NO_PUMP,
                                 StoredBytesAt{archive.handle(), 0})
                     .cause;
    if (stage1_bytes) *stage1_bytes = GetFileSize64(first.handle());
    if (result == CAUSE_OK)
        result = ExpandWorkFile(second.handle(), target.handle(), NO_PUMP).cause;
    return Outcome{result, result == CAUSE_OK ? target.Read() : Bytes()};
}

Status Append(void* context, const uint8_t* data, uint32_t size) {
    ((Bytes*)context)->insert(((Bytes*)context)->end(), data, data + size);
    return STATUS_OK;
}

Outcome InMemory(const Bytes& stored, const StoredEntry& entry, bool two_threads) {
    MemoryBytesReader reader = {stored.data(), (uint32_t)stored.size()};
    Bytes output;
    Cause result =
        DecodeInMemory(entry, ReadMemoryBytes, &reader, Append, &output, two_threads).cause;
    return Outcome{result, result == CAUSE_OK ? output : Bytes()};
}

// Both ways agree, with one thread and with two; answers the work files' outcome.
Outcome Agreed(const Bytes& stored, const StoredEntry& entry) {
    Outcome files = ThroughWorkFiles(stored, entry, NULL);
    EXPECT_EQ(files, InMemory(stored, entry, false));
    EXPECT_EQ(files, InMemory(stored, entry, true));
    return files;
}

Bytes Stored(const Bytes& stage4_input, int odd) {
    Bytes stored;
    EXPECT_TRUE(RangeEncode(MtfEncode(BwtEncode(stage4_input)), odd, &stored));
    return stored;
}

TEST(MemoryDecoder, SoundEntriesOfEveryShapeDecodeAlike) {
    // Around and across the 1 MiB pieces of every stage, under either rule.
    const size_t sizes[] = {
        1, 4096, RLE_BUF_SIZE - 1, RLE_BUF_SIZE, RLE_BUF_SIZE + 1, 2 * RLE_BUF_SIZE + 17};
    int odd = 0;
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        odd = !odd;
        Bytes original =
            size % 2 ? RandomBytes(size, (uint32_t)size, 16) : RunnyBytes(size, (uint32_t)size);
        Bytes stored = Stored(RleEncode(original), odd);
        Outcome outcome = Agreed(stored, EntryOf(stored, (uint32_t)size, odd != 0));
        EXPECT_EQ(outcome.result, CAUSE_OK);
        EXPECT_TRUE(outcome.output == original);
    }
}

// Runs of one byte expand 259 bytes from every 5 coded bytes, the most the
// format allows, and take the buffers that grow with each block to their
// bound. Their stored forms are small: two threads then reserve nothing.
TEST(MemoryDecoder, EntriesOfOneByteRepeatedDecodeAlike) {
    const size_t sizes[] = {259, 260, RLE_BUF_SIZE, RLE_BUF_SIZE + 259, 2 * RLE_BUF_SIZE + 1};
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        Bytes original(size, 'z');
        Bytes stored = Stored(RleEncode(original), 1);
        Outcome outcome = Agreed(stored, EntryOf(stored, (uint32_t)size, true));
        EXPECT_EQ(outcome.result, CAUSE_OK);
        EXPECT_TRUE(outcome.output == original);
    }
}

// Text that stage 1 decodes far faster than its blocks are restored: stage
// 1 fills every piece in flight and, waiting, helps restore the blocks.
TEST(MemoryDecoder, AnEntryThatStage1RunsFarAheadOfDecodesAlike) {
    Bytes original;
    for (int line = 0; original.size() < 3 * RLE_BUF_SIZE; line++) {
        std::string text = "line " + std::to_string(line % 977) + " of a long log\n";
        original.insert(original.end(), text.begin(), text.end());
    }
    Bytes stored;
    CompressResult written = compress_buffer(original.data(), original.size(), {}, &stored);
    ASSERT_EQ(written.status.cause, CAUSE_OK);
    Outcome outcome =
        Agreed(stored, EntryOf(stored, (uint32_t)original.size(), written.odd_rescale));
    EXPECT_EQ(outcome.result, CAUSE_OK);
    EXPECT_TRUE(outcome.output == original);
}

TEST(MemoryDecoder, DamagedEntriesGetTheSameVerdict) {
    Bytes original = RunnyBytes(3000, 5);
    Bytes stage4_input = RleEncode(original);
    Bytes stored = Stored(stage4_input, 1);
    uint32_t damaged = 0;
    for (size_t bit = 0; bit < stored.size() * 8; bit += 3) {
        Bytes flipped = stored;
        flipped[bit / 8] ^= (uint8_t)(1u << (bit % 8));
        if (Agreed(flipped, EntryOf(flipped, 3000, true)).result != CAUSE_OK) damaged++;
    }
    EXPECT_GT(damaged, 0u);
    // An entry large enough for two threads, whose stage-1 output crosses
    // between them in parts: damage anywhere gets the same verdict.
    Bytes large = RunnyBytes(RLE_BUF_SIZE + RLE_BUF_SIZE / 2, 6);
    Bytes large_stored = Stored(RleEncode(large), 1);
    for (size_t at = 7; at < large_stored.size(); at += large_stored.size() / 12) {
        Bytes flipped = large_stored;
        flipped[at] ^= 0x10;
        Agreed(flipped, EntryOf(flipped, (uint32_t)large.size(), true));
    }
    for (uint32_t wrong_size : {0u, 1u, 2999u, 3001u, 0xFFFFFFFFu})
        EXPECT_EQ(Agreed(stored, EntryOf(stored, wrong_size, true)).result, CAUSE_DAMAGED);

    // Bytes behind the last run-length block and behind the last block-sorted
    // block are ignored by the stages, and so are they here.
    Bytes junk_after_runs = stage4_input;
    junk_after_runs.insert(junk_after_runs.end(), {1, 2, 3, 4, 5});
    Bytes with_junk = Stored(junk_after_runs, 0);
    EXPECT_EQ(Agreed(with_junk, EntryOf(with_junk, 3000, false)).result, CAUSE_OK);
    Bytes sorted = BwtEncode(stage4_input);
    sorted.insert(sorted.end(), {0, 0, 0, 0, 0, 9, 7, 7});
    Bytes junk_after_sorted;
    ASSERT_TRUE(RangeEncode(MtfEncode(sorted), 0, &junk_after_sorted));
    EXPECT_EQ(Agreed(junk_after_sorted, EntryOf(junk_after_sorted, 3000, false)).result, CAUSE_OK);
}

TEST(MemoryDecoder, AnOutputThatRefusesStopsTheDecodingWithItsReason) {
    Bytes original = RandomBytes(2 * RLE_BUF_SIZE, 9, 8);
    Bytes stored = Stored(RleEncode(original), 0);
    for (bool two_threads : {false, true}) {
        MemoryBytesReader reader = {stored.data(), (uint32_t)stored.size()};
        auto refuse = [](void*, const uint8_t*, uint32_t) {
            return Failed(CAUSE_WRITE_FAILED, 28);
        };
        Status result = DecodeInMemory(EntryOf(stored, (uint32_t)original.size(), false),
                                       ReadMemoryBytes, &reader, refuse, NULL, two_threads);
        EXPECT_EQ(result.cause, CAUSE_WRITE_FAILED);
        EXPECT_EQ(result.system_error, 28u);
    }
}

TEST(StageOneBound, IsTheLongestStreamASoundEntryCanHave) {
    EXPECT_EQ(Stage1OutputBound(1), 3u + 1 + 6);
    EXPECT_EQ(Stage1OutputBound(4), 3u + 5 + 6);
    // Runs of exactly four equal bytes code five bytes for four: the bound is
    // reached, and such an entry still decodes.
    Bytes steps = RandomBytes(RLE_BUF_SIZE / 4 + 2, 4, 255), fours;
    uint8_t value = 0;
    for (uint8_t step : steps) {
        value = (uint8_t)(value + 1 + step);  // never the value before
        fours.insert(fours.end(), 4, value);
    }
    Bytes stage4_input = RleEncode(fours);
    Bytes stored = Stored(stage4_input, 1);
    StoredEntry entry = EntryOf(stored, (uint32_t)fours.size(), true);
    uint64_t stage1_bytes = 0;
    EXPECT_EQ(ThroughWorkFiles(stored, entry, &stage1_bytes).result, CAUSE_OK);
    EXPECT_EQ(stage1_bytes, Stage1OutputBound(entry.originalSize));
    EXPECT_EQ(Agreed(stored, entry).output, fours);
}

// A stream may carry data behind its last block, which the stages ignore,
// also more than the bound allows for: the entry decodes exactly, as it does
// for a reader that keeps all of stage 1's output. Behind the last run-length
// block (inside blocks of stage 3), behind stage 3's last block, and behind
// the values that stage 2 turns into it; and behind stage 3's last block of
// an entry that ends on a full run-length block.
// Block-sorted blocks made by the writer's own sort, quick on any data.
Bytes SortBlocks(const Bytes& data) {
    BlockSortWork work;
    EXPECT_TRUE(blocksort_work_init(&work).ok());
    Bytes out;
    for (size_t start = 0; start < data.size(); start += BS_BUF_SIZE) {
        uint32_t size = (uint32_t)std::min(data.size() - start, (size_t)BS_BUF_SIZE);
        Bytes block(BS_HEADER_SIZE + size);
        EXPECT_GE(blocksort_encode2(&data[start], size, block.data(), &work), 0);
        out.insert(out.end(), block.begin(), block.end());
    }
    blocksort_work_free(&work);
    return out;
}

TEST(StageOneBound, DataBehindTheLastBlockKeepsTheVerdict) {
    // The first entry decodes on two threads, the others on one.
    Bytes large = RunnyBytes(RLE_BUF_SIZE + 3000, 8), small = RunnyBytes(3000, 5),
          full = RunnyBytes(RLE_BUF_SIZE, 6);
    Bytes past_large = RandomBytes(Stage1WorkBound((uint32_t)large.size()) + 4096, 77),
          past_small(Stage1WorkBound(3000) + 4096, 0),
          past_full(Stage1WorkBound(RLE_BUF_SIZE) + 4096, 0);
    struct Case {
        const char* where;
        const Bytes& original;
        Bytes values;  // stage 1's output
    };
    Bytes runs_then_more = RleEncode(large), sorted = SortBlocks(RleEncode(small)),
          sorted_full = SortBlocks(RleEncode(full));
    Bytes sorted_then_more = sorted, values_then_more = MtfEncode(sorted);
    runs_then_more.insert(runs_then_more.end(), past_large.begin(), past_large.end());
    sorted_then_more.insert(sorted_then_more.end(), past_small.begin(), past_small.end());
    values_then_more.insert(values_then_more.end(), past_small.begin(), past_small.end());
    sorted_full.insert(sorted_full.end(), past_full.begin(), past_full.end());
    Case cases[] = {{"stage 4", large, MtfEncode(SortBlocks(runs_then_more))},
                    {"stage 3", small, MtfEncode(sorted_then_more)},
                    {"stage 2", small, values_then_more},
                    {"stage 3, full run-length block", full, MtfEncode(sorted_full)}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.where);
        Bytes stored;
        ASSERT_TRUE(RangeEncode(c.values, 1, &stored));
        StoredEntry entry = EntryOf(stored, (uint32_t)c.original.size(), true);
        uint64_t stage1_bytes = 0;
        EXPECT_EQ(ThroughWorkFiles(stored, entry, &stage1_bytes).result, CAUSE_OK);
        EXPECT_GT(stage1_bytes, Stage1WorkBound(entry.originalSize));  // stage 1 was stopped
        Outcome outcome = Agreed(stored, entry);
        EXPECT_EQ(outcome.result, CAUSE_OK);
        EXPECT_TRUE(outcome.output == c.original);
        // Cut short, the stream no longer decodes to its end: damaged, though
        // every block the entry needs came before the bound.
        Bytes cut(stored.begin(), stored.end() - 16);
        EXPECT_EQ(Agreed(cut, EntryOf(cut, entry.originalSize, true)).result, CAUSE_DAMAGED);
    }
}

TEST(StageOneBound, StopsADecompressionBombBeforeItFillsTheDisk) {
    // A small stream that expands to 8 MiB in stage 1, in an entry that
    // claims one byte.
    Bytes stored;
    ASSERT_TRUE(RangeEncode(Bytes(8 * RLE_BUF_SIZE, 0), 1, &stored));
    StoredEntry entry = EntryOf(stored, 1, true);
    uint64_t stage1_bytes = 0;
    EXPECT_EQ(ThroughWorkFiles(stored, entry, &stage1_bytes).result, CAUSE_DAMAGED);
    // Stage 1 stopped at the work bound, a few megabytes at most.
    EXPECT_LE(stage1_bytes, Stage1WorkBound(1) + STAGE1_PUMP_INTERVAL);
    EXPECT_EQ(Agreed(stored, entry).result, CAUSE_DAMAGED);
}

}  // namespace
