// Each writer stage against its reader: the known small cases, the edges of
// blocks and chunks, and round trips through the decoder of the same stage.
#include <string.h>

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "codec/BlockSorting_writer.h"
#include "codec/MoveToFront_writer.h"
#include "codec/RunLength_writer.h"
#include "decoder/stage_files.h"
#include "tests/writer/decode_chain.h"
#include "tests/writer/stage_encoders.h"

namespace {

Bytes RleCode(const Bytes& in) {
    Bytes out(RLE_CODED_MAX);
    out.resize(rle_encode2(in.data(), out.data(), (uint32_t)in.size()));
    return out;
}

Bytes RleExpand(const Bytes& coded) {
    Bytes out(RLE_BUF_SIZE);
    int32_t n = rle_decode2(coded.data(), out.data(), (uint32_t)coded.size(), RLE_THRESHOLD);
    EXPECT_GE(n, 0);
    out.resize(n < 0 ? 0 : (size_t)n);
    return out;
}

Bytes Repeat(uint8_t c, size_t n) { return Bytes(n, c); }

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST(RunLengthWriter, CodesRunsWithThresholdFourAndCountByte) {
    struct Case {
        Bytes input;
        const char* coded;
    } cases[] = {
        {Concat({Repeat(0x41, 6), {0x42}}), "41 41 41 41 02 42"},
        {FromHex("41 41 41 42"), "41 41 41 42"},
        {Repeat(0x41, 4), "41 41 41 41 00"},
        {Repeat(0x41, 259), "41 41 41 41 FF"},
        {Repeat(0x41, 260), "41 41 41 41 FF 41"},
        {Repeat(0x41, 263), "41 41 41 41 FF 41 41 41 41 00"},
        {FromHex("01 02 02 03 03 03"), "01 02 02 03 03 03"},
    };
    for (const Case& c : cases) {
        Bytes coded = RleCode(c.input);
        EXPECT_EQ(c.coded, ToHex(coded));
        EXPECT_TRUE(RleExpand(coded) == c.input) << c.coded;
    }
}

TEST(RunLengthWriter, CodesEachMegabyteOnItsOwnWithLittleEndianLength) {
    // A run across the 1 MiB boundary is ended at it and restarted behind it.
    Bytes input = Concat({PseudoRandomBytes(1, RLE_BUF_SIZE - 6), Repeat(0xEE, 10)});
    for (size_t i = 0; i + 6 < RLE_BUF_SIZE; i++)
        if (input[i] == 0xEE) input[i] = 0x11;  // keep the run from starting earlier
    Bytes stream;
    rle_encode_buffer(input.data(), input.size(), &stream);
    uint32_t first = stream[0] | (stream[1] << 8) | (stream[2] << 16);
    ASSERT_LT(first + 3, stream.size());
    EXPECT_EQ("EE EE EE EE 02",
              ToHex(Bytes(stream.begin() + 3 + first - 5, stream.begin() + 3 + first)));
    // The four bytes behind the boundary are a run of four: count byte 0.
    EXPECT_EQ("05 00 00 EE EE EE EE 00", ToHex(Bytes(stream.begin() + 3 + first, stream.end())));

    Bytes expanded = RleExpand(Bytes(stream.begin() + 3, stream.begin() + 3 + first));
    EXPECT_TRUE(expanded == Bytes(input.begin(), input.begin() + RLE_BUF_SIZE));

    Bytes six;
    rle_encode_buffer(FromHex("01 02 03 04 05 06").data(), 6, &six);
    EXPECT_EQ("06 00 00 01 02 03 04 05 06", ToHex(six));
}

TEST(RunLengthWriter, RoundTripsThroughTheStageDecoder) {
    Bytes data;
    Bytes noise = PseudoRandomBytes(3, 300000);
    for (size_t i = 0; i < noise.size(); i++) {
        // Runs of every length from 1 to 600.
        data.insert(data.end(), (size_t)(noise[i] % 8 == 0 ? noise[i] * 2 + 1 : 1),
                    noise[(i + 1) % noise.size()]);
        if (data.size() > 2 * RLE_BUF_SIZE + 12345) break;
    }
    Bytes stream;
    rle_encode_buffer(data.data(), data.size(), &stream);
    TempFile in, out;
    in.Write(stream);
    EXPECT_EQ(CAUSE_OK, rle_decode(in.handle(), out.handle(), NO_PUMP).cause);
    EXPECT_TRUE(out.ReadAll() == data);
}

Bytes MtfDecode(const Bytes& coded) {
    Bytes out(coded.size());
    mtf_decode2(coded.data(), out.data(), (uint32_t)coded.size());
    return out;
}

Bytes MtfEncode(const Bytes& bytes) {
    Bytes out(bytes.size());
    mtf_encode2(bytes.data(), out.data(), (uint32_t)bytes.size());
    return out;
}

TEST(MoveToFrontWriter, FollowsTheSecondPlaceRuleAndPrev) {
    struct Case {
        const char* bytes;
        const char* indices;
    } cases[] = {
        {"62 62 62 00 00", "62 01 00 01 01"},
        {"02 00", "02 00"},
        {"03 02 01", "03 03 03"},
        {"01 00", "01 01"},
        {"00 00 00", "00 00 00"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.indices, ToHex(MtfEncode(FromHex(c.bytes))));
        EXPECT_EQ(c.bytes, ToHex(MtfDecode(FromHex(c.indices))));
    }
}

TEST(MoveToFrontWriter, StartsAFreshTableEveryMegabyteWhateverThePieces) {
    Bytes data = PseudoRandomBytes(4, 2 * MTF_BUF_SIZE + 1000);
    for (size_t i = 0; i < data.size(); i += 3) data[i] = (uint8_t)(data[i] & 0x0F);
    // Fed in uneven pieces, the stream codes as whole chunks with fresh tables.
    Bytes coded(data.size());
    MtfEncoder state;
    mtf_encode_start(&state);
    size_t at = 0;
    for (size_t piece = 1; at < data.size(); piece = piece * 7 + 1) {
        size_t n = std::min(piece % 400000 + 1, data.size() - at);
        mtf_encode_stream(&state, data.data() + at, coded.data() + at, (uint32_t)n);
        at += n;
    }
    for (size_t chunk = 0; chunk < data.size(); chunk += MTF_BUF_SIZE) {
        size_t n = std::min<size_t>(MTF_BUF_SIZE, data.size() - chunk);
        Bytes one(data.begin() + chunk, data.begin() + chunk + n);
        EXPECT_TRUE(MtfEncode(one) == Bytes(coded.begin() + chunk, coded.begin() + chunk + n))
            << "chunk at " << chunk;
    }
    // The first byte of the second chunk is coded with a fresh table: its own value.
    EXPECT_EQ(data[MTF_BUF_SIZE], coded[MTF_BUF_SIZE]);

    TempFile in, out;
    in.Write(coded);
    EXPECT_EQ(CAUSE_OK, mtf_decode(in.handle(), out.handle(), NO_PUMP).cause);
    EXPECT_TRUE(out.ReadAll() == data);
}

// Restores one stored block (header and last column) with the stage decoder.
Bytes BlockRestore(const Bytes& stored) {
    TempFile in, out;
    in.Write(stored);
    EXPECT_EQ(CAUSE_OK, blocksort_decode(in.handle(), out.handle(), NO_PUMP).cause);
    return out.ReadAll();
}

TEST(BlockSortingWriter, StoresLastColumnAndRankOfTheBlock) {
    Bytes banana = FromHex("62 61 6E 61 6E 61");  // "banana"
    Bytes stored;
    ASSERT_TRUE(blocksort_encode_buffer(banana.data(), banana.size(), &stored));
    // Rotations sorted: abanan, anaban, ananab, banana, nabana, nanaba.
    EXPECT_EQ("00 00 03 00 00 06 6E 6E 62 61 61 61", ToHex(stored));
    EXPECT_TRUE(BlockRestore(stored) == banana);

    Bytes one = {0x5A};
    ASSERT_TRUE(blocksort_encode_buffer(one.data(), one.size(), &stored));
    EXPECT_EQ("00 00 00 00 00 01 5A", ToHex(stored));
}

TEST(BlockSortingWriter, PeriodicBlocksRestoreExactly) {
    std::vector<Bytes> blocks;
    blocks.push_back(Repeat(0x00, 1000));
    blocks.push_back(Repeat(0xFF, 2));
    Bytes abab, abc, near;
    for (int i = 0; i < 5000; i++) abab.push_back(i % 2 ? 'b' : 'a');
    for (int i = 0; i < 3 * 4000; i++) abc.push_back("abc"[i % 3]);
    for (int i = 0; i < 4096; i++) near.push_back("xyxyxyxz"[i % 8]);
    blocks.push_back(abab);
    blocks.push_back(abc);
    blocks.push_back(near);
    blocks.push_back(Bytes(abc.begin() + 1, abc.end()));  // not a whole number of periods
    Bytes big;
    for (uint32_t i = 0; i < BS_BUF_SIZE; i++) big.push_back("quorvane"[i % 8]);
    blocks.push_back(big);
    blocks.push_back(Repeat(0x61, BS_BUF_SIZE));
    for (const Bytes& block : blocks) {
        Bytes stored;
        ASSERT_TRUE(blocksort_encode_buffer(block.data(), block.size(), &stored));
        EXPECT_TRUE(BlockRestore(stored) == block) << "block of " << block.size() << " bytes";
    }
}

// The rotations sorted one by one, compared whole.
void NaiveSort(const Bytes& block, Bytes* last_column, std::vector<uint32_t>* order) {
    size_t n = block.size();
    Bytes twice = Concat({block, block});
    order->resize(n);
    for (size_t i = 0; i < n; i++) (*order)[i] = (uint32_t)i;
    std::sort(order->begin(), order->end(), [&](uint32_t a, uint32_t b) {
        return memcmp(twice.data() + a, twice.data() + b, n) < 0;
    });
    last_column->resize(n);
    for (size_t r = 0; r < n; r++) (*last_column)[r] = twice[(*order)[r] + n - 1];
}

Bytes FibonacciWord(size_t size) {
    std::string a = "a", b = "ab";
    while (b.size() < size) {
        std::string next = b + a;
        a = b;
        b = next;
    }
    return Bytes(b.begin(), b.begin() + size);
}

TEST(BlockSortingWriter, MatchesANaiveSortOfTheRotations) {
    Bytes abc, almost, least_inside;
    for (int i = 0; i < 3 * 4000; i++) abc.push_back("abc"[i % 3]);
    for (int i = 0; i < 5000; i++) almost.push_back(i % 2 ? 'b' : 'a');
    almost.push_back('b');  // no longer a power of "ab"
    least_inside = Concat({Repeat('b', 900), {'a'}, Repeat('b', 900), {'a', 'a'}, Repeat('b', 99)});
    const struct {
        const char* what;
        Bytes block;
    } cases[] = {
        {"one byte", {0x5A}},
        {"all equal", Repeat(0x61, 5000)},
        {"periodic", abc},
        {"almost periodic", almost},
        {"least rotation inside", least_inside},
        {"Fibonacci word", FibonacciWord(10946)},
        {"text", TextLike(8, 300000)},
        {"random, full block", PseudoRandomBytes(9, BS_BUF_SIZE)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes stored;
        ASSERT_TRUE(blocksort_encode_buffer(c.block.data(), c.block.size(), &stored));
        Bytes expected_last;
        std::vector<uint32_t> order;
        NaiveSort(c.block, &expected_last, &order);
        ASSERT_EQ(c.block.size() + 6, stored.size());
        EXPECT_TRUE(Bytes(stored.begin() + 6, stored.end()) == expected_last);
        // `top` names a rotation equal to the block; for a block that is no
        // power of a shorter one, that is the block's own rotation.
        uint32_t top = (stored[0] << 16) | (stored[1] << 8) | stored[2];
        ASSERT_LT(top, c.block.size());
        Bytes twice = Concat({c.block, c.block});
        EXPECT_EQ(0, memcmp(twice.data() + order[top], c.block.data(), c.block.size()));
    }
}

TEST(BlockSortingWriter, CutsTheStreamIntoFullBlocksAndRoundTrips) {
    for (size_t size :
         {(size_t)BS_BUF_SIZE, (size_t)BS_BUF_SIZE + 1, 2 * (size_t)BS_BUF_SIZE - 1}) {
        Bytes data = TextLike(size, size);
        Bytes stored;
        ASSERT_TRUE(blocksort_encode_buffer(data.data(), data.size(), &stored));
        EXPECT_EQ(size + 6 * ((size + BS_BUF_SIZE - 1) / BS_BUF_SIZE), stored.size());
        EXPECT_EQ("10 00 00", ToHex(Bytes(stored.begin() + 3, stored.begin() + 6)));
        EXPECT_TRUE(BlockRestore(stored) == data) << size;
    }
}

}  // namespace
