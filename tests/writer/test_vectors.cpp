// The writer reproduces the format's known encoded forms byte for byte, and
// the real decoders take each of them back to where it came from.
#include <string.h>

#include <gtest/gtest.h>

#include "codec/012coding_writer.h"
#include "codec/BlockSorting_writer.h"
#include "codec/MoveToFront_writer.h"
#include "codec/RunLength_writer.h"
#include "codec/compress.h"
#include "tests/writer/decode_chain.h"
#include "tests/writer/stage_encoders.h"

namespace {

Bytes RangeCode(const Bytes& values, bool odd) {
    Bytes stream;
    uint32_t widened_steps = 0;
    EXPECT_TRUE(coding012_encode_buffer(values.data(), (uint32_t)values.size(), odd ? 1 : 0,
                                        &stream, &widened_steps)
                    .ok());
    EXPECT_EQ(0u, widened_steps);
    return stream;
}

struct RangeVector {
    const char* name;
    Bytes values;
    const char* odd_stream;
    const char* plain_stream;
};

TEST(RangeCoderWriter, ReproducesKnownStreamsAndDecodesThemBack) {
    const RangeVector vectors[] = {
        {"empty", Bytes(), "FF EA AA 7B 00", "FF EA AA 7B 00"},
        {"five values", FromHex("00 01 02 03 FF"), "45 7E DE F5 97 E0 AC 00",
         "45 7E DE F5 97 E0 AC 00"},
        {"64 zeros", Bytes(64, 0), "0A D0 B5 78 FA 00", "0A D0 BA C7 54 00"},
    };
    for (const RangeVector& v : vectors) {
        SCOPED_TRACE(v.name);
        for (bool odd : {true, false}) {
            SCOPED_TRACE(odd ? "odd rule" : "plain rule");
            Bytes expected = FromHex(odd ? v.odd_stream : v.plain_stream);
            EXPECT_EQ(ToHex(expected), ToHex(RangeCode(v.values, odd)));
            Bytes decoded;
            EXPECT_EQ(CAUSE_OK, DecodeStage1(expected, odd, &decoded));
            EXPECT_EQ(ToHex(v.values), ToHex(decoded));
        }
    }
}

TEST(RangeCoderWriter, SixtyFourZerosUnderTheOddRuleDoNotDecodeUnderThePlainOne) {
    Bytes stream = RangeCode(Bytes(64, 0), true);
    Bytes decoded;
    EXPECT_EQ(CAUSE_DAMAGED, DecodeStage1(stream, false, &decoded));
}

TEST(RangeCoderWriter, EveryValueAndContextRoundTripsUnderBothRules) {
    // All 256 byte values in many contexts, long enough for every table to rescale.
    Bytes values;
    for (int round = 0; round < 40; round++)
        for (int v = 0; v < 256; v++) values.push_back((uint8_t)((v * 37 + round * 11) & 0xFF));
    Bytes skewed = PseudoRandomBytes(5, 30000);
    for (uint8_t& b : skewed) b = (uint8_t)(b % 5 == 0 ? b : b % 3);
    for (const Bytes* data : {&values, &skewed}) {
        for (bool odd : {true, false}) {
            Bytes decoded;
            EXPECT_EQ(CAUSE_OK, DecodeStage1(RangeCode(*data, odd), odd, &decoded));
            EXPECT_TRUE(decoded == *data) << (odd ? "odd rule" : "plain rule");
        }
    }
}

// "abracadabra", a space and eight letters a: every intermediate form.
TEST(WholeChain, AbracadabraReproducesEveryIntermediateForm) {
    const char* text = "abracadabra aaaaaaaa";
    Bytes input(text, text + strlen(text));
    const Bytes rle_form = FromHex("11 00 00 61 62 72 61 63 61 64 61 62 72 61 20 61 61 61 61 04");
    const Bytes sorted_form =
        FromHex("00 00 03 00 00 14 11 00 61 04 61 61 72 61 61 20 64 00 72 63 61 61 61 61 62 62");
    const Bytes mtf_form =
        FromHex("00 00 03 00 00 14 12 00 61 07 02 01 72 00 00 22 65 04 04 65 00 00 00 00 65 01");
    const Bytes stored =
        FromHex("38 23 6B C4 65 88 27 35 88 00 09 3C 3D 24 F7 B8 46 F0 AB 86 EC 00");

    Bytes rle;
    rle_encode_buffer(input.data(), input.size(), &rle);
    EXPECT_EQ(ToHex(rle_form), ToHex(rle));

    Bytes sorted;
    ASSERT_TRUE(blocksort_encode_buffer(rle.data(), rle.size(), &sorted));
    EXPECT_EQ(ToHex(sorted_form), ToHex(sorted));

    Bytes mtf(sorted.size());
    mtf_encode2(sorted.data(), mtf.data(), (uint32_t)sorted.size());
    EXPECT_EQ(ToHex(mtf_form), ToHex(mtf));

    for (bool odd : {true, false}) {
        SCOPED_TRACE(odd ? "odd rule" : "plain rule");
        EXPECT_EQ(ToHex(stored), ToHex(RangeCode(mtf, odd)));

        Bytes whole;
        CompressResult result =
            compress_buffer(input.data(), input.size(), CompressOptions{odd, 1}, &whole);
        ASSERT_EQ(result.status.cause, CAUSE_OK) << result.error;
        EXPECT_EQ(odd, result.odd_rescale);
        EXPECT_EQ(stored.size(), result.stored_size);
        EXPECT_EQ(ToHex(stored), ToHex(whole));

        ChainResult chain = DecodeChain(stored, odd);
        EXPECT_EQ(CAUSE_OK, chain.stage1);
        EXPECT_EQ(ToHex(mtf_form), ToHex(chain.after_range_decoder));
        EXPECT_EQ(ToHex(sorted_form), ToHex(chain.after_move_to_front));
        EXPECT_EQ(ToHex(rle_form), ToHex(chain.after_block_sorting));
        EXPECT_EQ(ToHex(input), ToHex(chain.output));
    }
}

TEST(WholeChain, EmptyInputIsTheBareEndOfStream) {
    for (bool odd : {true, false}) {
        Bytes stored;
        CompressResult result = compress_buffer(NULL, 0, CompressOptions{odd, 1}, &stored);
        ASSERT_EQ(result.status.cause, CAUSE_OK);
        EXPECT_EQ("FF EA AA 7B 00", ToHex(stored));
        EXPECT_EQ(5u, result.stored_size);
        ChainResult chain = DecodeChain(stored, odd);
        EXPECT_EQ(CAUSE_OK, chain.stage4);
        EXPECT_TRUE(chain.output.empty());
    }
}

}  // namespace
