// Inputs on which the range coder's interval becomes narrower than the total
// of a mantissa table, so that the reader would find no width per unit there.
// They were found with writer_narrow_search and are regenerated from their
// seeds. The writer must never emit such a stream: it cuts a run or switches
// the rescale rule, and when neither helps it fails with an error.
#include <string.h>

#include <gtest/gtest.h>

#include "codec/012coding_writer.h"
#include "codec/BlockSorting_writer.h"
#include "codec/MoveToFront_writer.h"
#include "codec/RunLength_writer.h"
#include "codec/compress.h"
#include "tests/writer/decode_chain.h"

namespace {

const size_t SIZE = 0x100000 - 3;  // a run-length stream of one full sorting block

Bytes SearchInput(uint64_t seed, size_t run_every) {
    Bytes data = PseudoRandomBytes(seed, SIZE);
    if (run_every > 0)
        for (size_t i = run_every; i + 8 <= SIZE; i += run_every)
            for (size_t k = 0; k < 8; k++) data[i + k] = 0;
    return data;
}

// The values the range coder gets when no run is cut.
Bytes PlainValues(const Bytes& data) {
    Bytes rle, sorted;
    rle_encode_buffer(data.data(), data.size(), &rle);
    EXPECT_TRUE(blocksort_encode_buffer(rle.data(), rle.size(), &sorted));
    MtfEncoder mtf;
    mtf_encode_start(&mtf);
    mtf_encode_stream(&mtf, sorted.data(), sorted.data(), (uint32_t)sorted.size());
    return sorted;
}

// Where range coding `values` under a rule fails, or -1.
int64_t FailurePoint(const Bytes& values, bool odd) {
    Bytes stream;
    uint32_t failed_at = 0;
    RcEncodeResult r = coding012_encode_buffer(values.data(), (uint32_t)values.size(), odd ? 1 : 0,
                                               &stream, &failed_at);
    EXPECT_TRUE(r == RC_ENCODED || r == RC_NARROW_INTERVAL);
    return r == RC_NARROW_INTERVAL ? (int64_t)failed_at : -1;
}

size_t CuttableRuns(const Bytes& data) {
    std::vector<uint8_t> coded(RLE_CODED_MAX);
    std::vector<RleSplittableRun> runs(RLE_RUNS_MAX);
    size_t count = 0;
    rle_encode2(data.data(), coded.data(), (uint32_t)data.size(), NULL, 0, runs.data(), &count);
    return count;
}

struct Vector {
    uint64_t seed;
    size_t run_every;  // 0: no runs at all
    int64_t odd_fails_at;
    int64_t plain_fails_at;
};

const Vector ODD_FAILS = {38, 0, 892448, -1};
const Vector PLAIN_FAILS = {5, 0, -1, 356076};
const Vector BOTH_FAIL = {93, 0, 1037735, 321983};
const Vector BOTH_FAIL_TOO = {159, 0, 317955, 57838};
const Vector ODD_FAILS_WITH_RUNS = {26, 65536, 16457, -1};
const Vector PLAIN_FAILS_WITH_RUNS = {97, 65536, -1, 760305};

TEST(NarrowInterval, KeptInputsStillNarrowTheIntervalWhereTheyDid) {
    for (const Vector& v : {ODD_FAILS, PLAIN_FAILS, BOTH_FAIL, BOTH_FAIL_TOO, ODD_FAILS_WITH_RUNS,
                            PLAIN_FAILS_WITH_RUNS}) {
        SCOPED_TRACE(::testing::Message() << "seed " << v.seed);
        Bytes values = PlainValues(SearchInput(v.seed, v.run_every));
        EXPECT_EQ(v.odd_fails_at, FailurePoint(values, true));
        EXPECT_EQ(v.plain_fails_at, FailurePoint(values, false));
    }
}

// Compresses preferring `odd`, decodes with the reported rule, and answers
// the chain for further checks.
ChainResult CompressAndDecode(const Bytes& data, bool odd, CompressResult* result) {
    Bytes stored;
    *result = compress_buffer(data.data(), data.size(), odd, &stored);
    EXPECT_TRUE(result->ok) << (result->error ? result->error : "");
    if (!result->ok) return ChainResult();
    EXPECT_EQ(stored.size(), result->stored_size);
    ChainResult chain = DecodeChain(stored, result->odd_rescale);
    EXPECT_EQ(DECODE_OK, chain.stage1);
    EXPECT_EQ(DECODE_OK, chain.stage4);
    EXPECT_TRUE(chain.output == data);
    return chain;
}

TEST(NarrowInterval, WithoutRunsToCutTheWriterSwitchesTheRule) {
    for (const Vector& v : {ODD_FAILS, PLAIN_FAILS}) {
        bool failing_rule_is_odd = v.odd_fails_at >= 0;
        SCOPED_TRACE(::testing::Message() << "seed " << v.seed);
        Bytes data = SearchInput(v.seed, v.run_every);
        ASSERT_EQ(0u, CuttableRuns(data));
        CompressResult result;
        CompressAndDecode(data, failing_rule_is_odd, &result);
        EXPECT_EQ(!failing_rule_is_odd, result.odd_rescale);
        // The rule that works is used directly when preferred.
        CompressAndDecode(data, !failing_rule_is_odd, &result);
        EXPECT_EQ(!failing_rule_is_odd, result.odd_rescale);
    }
}

TEST(NarrowInterval, WithRunsTheWriterCutsOneAndKeepsThePreferredRule) {
    for (const Vector& v : {ODD_FAILS_WITH_RUNS, PLAIN_FAILS_WITH_RUNS}) {
        bool failing_rule_is_odd = v.odd_fails_at >= 0;
        SCOPED_TRACE(::testing::Message() << "seed " << v.seed);
        Bytes data = SearchInput(v.seed, v.run_every);
        ASSERT_GT(CuttableRuns(data), 0u);
        CompressResult result;
        ChainResult chain = CompressAndDecode(data, failing_rule_is_odd, &result);
        EXPECT_EQ(failing_rule_is_odd, result.odd_rescale);
        // The run-length stream differs from the uncut one: some run of eight
        // zeros became four with a count of 0 and a new run of four.
        Bytes uncut;
        rle_encode_buffer(data.data(), data.size(), &uncut);
        EXPECT_GT(chain.after_block_sorting.size(), uncut.size());
        EXPECT_NE(ToHex(uncut), ToHex(chain.after_block_sorting));
        const char* cut = "00 00 00 00 00 00 00 00 00";
        EXPECT_NE(std::string::npos, ToHex(chain.after_block_sorting).find(cut));
        EXPECT_EQ(std::string::npos, ToHex(uncut).find(cut));
    }
}

TEST(NarrowInterval, CompressEntryWritesTheRetriedFormThroughFiles) {
    Bytes data = SearchInput(ODD_FAILS_WITH_RUNS.seed, ODD_FAILS_WITH_RUNS.run_every);
    Bytes from_memory;
    CompressResult expected = compress_buffer(data.data(), data.size(), true, &from_memory);
    ASSERT_TRUE(expected.ok);
    TempFile in, out;
    in.Write(data);
    CompressResult result = compress_entry(in.handle(), (uint32_t)data.size(), out.handle(), true);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_TRUE(result.odd_rescale);
    EXPECT_EQ(from_memory.size(), result.stored_size);
    EXPECT_TRUE(out.ReadAll() == from_memory);
}

TEST(NarrowInterval, FailsWithAnErrorWhenNoFormCanBeDecoded) {
    for (const Vector& v : {BOTH_FAIL, BOTH_FAIL_TOO}) {
        SCOPED_TRACE(::testing::Message() << "seed " << v.seed);
        Bytes data = SearchInput(v.seed, v.run_every);
        ASSERT_EQ(0u, CuttableRuns(data));
        for (bool odd : {true, false}) {
            Bytes stored;
            CompressResult result = compress_buffer(data.data(), data.size(), odd, &stored);
            EXPECT_FALSE(result.ok);
            ASSERT_NE(nullptr, result.error);
            EXPECT_NE(nullptr, strstr(result.error, "no decodable form"));
        }
        TempFile in, out;
        in.Write(data);
        CompressResult result =
            compress_entry(in.handle(), (uint32_t)data.size(), out.handle(), true);
        EXPECT_FALSE(result.ok);
        EXPECT_NE(nullptr, result.error);
    }
}

}  // namespace
