// compress_buffer and CompressFile through the real decode chain: many kinds
// of data, sizes at the edges of every stage's blocks, both rescale rules.
#include <string.h>

#include <gtest/gtest.h>

#include "codec/RunLength_writer.h"
#include "codec/compress.h"
#include "lib/compress_file.h"
#include "codec/compress_pool.h"
#include "tests/test_hooks.h"
#include "tests/writer/decode_chain.h"

namespace {

// Compresses, decodes through the four stages and compares.
void ExpectRoundTrip(const Bytes& data, bool odd, const char* what) {
    SCOPED_TRACE(::testing::Message() << what << ", " << data.size() << " bytes, "
                                      << (odd ? "odd" : "plain") << " rule preferred");
    Bytes stored;
    CompressResult result =
        compress_buffer(data.data(), data.size(), CompressOptions{odd, 1}, &stored);
    ASSERT_EQ(result.status.cause, CAUSE_OK) << result.error;
    EXPECT_EQ(stored.size(), result.stored_size);
    ChainResult chain = DecodeChain(stored, result.odd_rescale);
    ASSERT_EQ(CAUSE_OK, chain.stage1);
    EXPECT_EQ(CAUSE_OK, chain.stage2);
    EXPECT_EQ(CAUSE_OK, chain.stage3);
    EXPECT_EQ(CAUSE_OK, chain.stage4);
    ASSERT_EQ(data.size(), chain.output.size());
    EXPECT_TRUE(chain.output == data);
}

Bytes Runs(uint64_t seed, size_t size) {
    Bytes noise = PseudoRandomBytes(seed, size);
    Bytes data;
    for (size_t i = 0; data.size() < size; i++) {
        size_t length =
            noise[i % size] < 64 ? noise[(i + 1) % size] * 3 + 1 : 1 + noise[i % size] % 3;
        data.insert(data.end(), std::min(length, size - data.size()), noise[(i + 2) % size] & 0x0F);
    }
    return data;
}

Bytes OwnExecutable() {
    TempFile copy;
    FileHandle self;
    OpenForReading("/proc/self/exe", &self);
    Bytes data;
    if (self == NO_FILE) return data;
    uint8_t buffer[65536];
    uint32_t got = 0;
    while (ReadBytes(self, buffer, sizeof(buffer), &got).ok() && got > 0)
        data.insert(data.end(), buffer, buffer + got);
    CloseFile(self);
    return data;
}

TEST(WholeChainRoundTrip, KindsOfDataUnderBothRules) {
    Bytes binary = OwnExecutable();
    ASSERT_GT(binary.size(), 10000u);
    const struct {
        const char* what;
        Bytes data;
    } inputs[] = {
        {"one byte", Bytes(1, 0x7F)},
        {"two equal bytes", Bytes(2, 0x00)},
        {"random", PseudoRandomBytes(11, 300000)},
        {"text", TextLike(12, 700000)},
        {"executable", binary},
        {"runs", Runs(13, 500000)},
        {"all 0xFF", Bytes(3 * RLE_BUF_SIZE + 17, 0xFF)},
    };
    for (const auto& input : inputs) {
        for (bool odd : {true, false}) ExpectRoundTrip(input.data, odd, input.what);
    }
}

TEST(WholeChainRoundTrip, SizesAroundTheBlockEdges) {
    // Input sizes around the run-length block; with no runs the run-length
    // stream is the input plus 3 bytes per block, so 0x100000 - 3 makes it
    // exactly one full sorting block, and 2 * 0x100000 - 6 exactly two.
    const size_t M = RLE_BUF_SIZE;
    for (size_t size : {M - 1, M, M + 1, M - 4, M - 3, M - 2, 2 * M - 6}) {
        Bytes data = PseudoRandomBytes(size, size);
        // Keep runs of four out, so the run-length stream size is the one intended.
        for (size_t i = 3; i < size; i++)
            if (data[i] == data[i - 1] && data[i] == data[i - 2] && data[i] == data[i - 3])
                data[i] ^= 1;
        ExpectRoundTrip(data, size % 2 == 0, "random, no runs");
    }
    // Text whose run-length stream is long enough for several sorting blocks and
    // move-to-front chunks that do not line up with them.
    ExpectRoundTrip(TextLike(21, 2 * M + 12345), true, "text");
}

TEST(WholeChainRoundTrip, CompressEntryReadsAndWritesFromTheCurrentPositions) {
    Bytes data = TextLike(31, 900000);
    Bytes prefix = {'H', 'E', 'A', 'D'};
    Bytes input_file = prefix;
    input_file.insert(input_file.end(), data.begin(), data.end());
    input_file.insert(input_file.end(), 100, 'Z');  // beyond original_size: not read

    TempFile in, out;
    in.Write(input_file);
    SetFilePointer64(in.handle(), prefix.size(), FILE_BEGIN);
    out.Write(prefix);
    SetFilePointer64(out.handle(), prefix.size(), FILE_BEGIN);

    CompressResult result =
        CompressFile(in.handle(), (uint32_t)data.size(), out.handle(), CompressOptions());
    ASSERT_EQ(result.status.cause, CAUSE_OK) << result.error;
    EXPECT_EQ(prefix.size() + data.size(), (size_t)SetFilePointer64(in.handle(), 0, FILE_CURRENT));

    Bytes written = out.ReadAll();
    ASSERT_EQ(prefix.size() + result.stored_size, written.size());
    EXPECT_TRUE(Bytes(written.begin(), written.begin() + 4) == prefix);
    Bytes stored(written.begin() + 4, written.end());

    Bytes from_memory;
    compress_buffer(data.data(), data.size(), CompressOptions(), &from_memory);
    EXPECT_TRUE(stored == from_memory);
    EXPECT_TRUE(DecodeChain(stored, result.odd_rescale).output == data);
}

TEST(WholeChainRoundTrip, FailedAllocationIsOutOfMemoryNotAnInputThatCannotBeStored) {
    Bytes data = TextLike(43, 5000);
    std::vector<uint8_t> stored;
    FailAllocationAfter = 1;
    CompressResult result = compress_buffer(data.data(), data.size(), CompressOptions(), &stored);
    FailAllocationAfter = 0;
    EXPECT_EQ(result.status.cause, CAUSE_NO_MEMORY) << result.error;
}

TEST(WholeChainRoundTrip, CompressEntryRefusesAShortInput) {
    TempFile in, out;
    in.Write(TextLike(41, 1000));
    CompressResult result = CompressFile(in.handle(), 1001, out.handle(), CompressOptions());
    EXPECT_EQ(result.status.cause, CAUSE_READ_FAILED);
    ASSERT_NE(nullptr, result.error);
    EXPECT_NE(nullptr, strstr(result.error, "input"));
}

// Several blocks, whatever the number of threads that sort them: the same
// stored bytes. Random data of three blocks whose stream needs the widening
// under the odd rule (seed 1) or under both (seed 7), so that the trial with
// the other rule runs with blocks in flight, and for seed 7 stops early.
TEST(WholeChainRoundTrip, SameStoredBytesForEveryNumberOfThreads) {
    for (uint64_t seed : {1, 7}) {
        SCOPED_TRACE(::testing::Message() << "seed " << seed);
        Bytes data = PseudoRandomBytes(seed, 0x280000);
        Bytes expected;
        CompressResult one =
            compress_buffer(data.data(), data.size(), CompressOptions{true, 1}, &expected);
        ASSERT_EQ(one.status.cause, CAUSE_OK);
        EXPECT_EQ(seed == 1, !one.odd_rescale);
        EXPECT_EQ(seed == 7, one.widened_steps > 0);
        EXPECT_TRUE(DecodeChain(expected, one.odd_rescale).output == data);

        Bytes stored;
        CompressResult many =
            compress_buffer(data.data(), data.size(), CompressOptions{true, 3}, &stored);
        EXPECT_TRUE(stored == expected);
        EXPECT_EQ(one.odd_rescale, many.odd_rescale);
        EXPECT_EQ(one.widened_steps, many.widened_steps);
        TempFile in, out;
        in.Write(data);
        ASSERT_EQ(
            CompressFile(in.handle(), (uint32_t)data.size(), out.handle(), CompressOptions{true, 2})
                .status.cause,
            CAUSE_OK);
        EXPECT_EQ(expected.size(), (size_t)SetFilePointer64(out.handle(), 0, FILE_CURRENT));
        EXPECT_TRUE(out.ReadAll() == expected);
    }
}

// Whole entries compressed by the pool come back in the order given, with the
// bytes one thread makes, also when the pool holds too little for all of them.
TEST(WholeChainRoundTrip, PoolOfEntriesGivesTheSameBytesInOrder) {
    std::vector<Bytes> entries;
    for (uint64_t seed = 1; seed <= 12; seed++)
        entries.push_back(seed % 3 ? TextLike(seed, 1000 * seed * seed)
                                   : PseudoRandomBytes(seed, 70000));
    CompressPool* pool = compress_pool_start(3, 400000);
    ASSERT_NE(pool, nullptr);
    size_t taken = 0, submitted = 0;
    for (size_t i = 0; i <= entries.size(); i++) {
        // Makes room, or at the end empties the pool, taking the oldest first.
        while (taken < submitted &&
               (i == entries.size() || !compress_pool_has_room(pool, entries[i].size()))) {
            Bytes stored, expected;
            CompressResult result = compress_pool_take(pool, &stored);
            CompressResult alone = compress_buffer(entries[taken].data(), entries[taken].size(),
                                                   CompressOptions(), &expected);
            EXPECT_TRUE(result.status.cause == CAUSE_OK && stored == expected) << taken;
            EXPECT_EQ(result.odd_rescale, alone.odd_rescale);
            taken++;
        }
        if (i == entries.size()) break;
        Bytes copy = entries[i];
        ASSERT_TRUE(compress_pool_submit(pool, &copy, CompressOptions()).ok());
        submitted++;
        EXPECT_TRUE(copy.empty());
    }
    EXPECT_EQ(taken, entries.size());
    compress_pool_stop(pool);
}

}  // namespace
