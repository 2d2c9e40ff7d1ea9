// Entries made by the real writer, of real and generated data, decode through
// the entry decoder exactly as through the literal decoder.
#include <stdio.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec/compress.h"
#include "fuzz/harness.h"
#include "tests/reference/literal_decoder.h"

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes ReadWhole(const std::string& path) {
    Bytes data;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return data;
    uint8_t buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, f)) > 0)
        data.insert(data.end(), buffer, buffer + got);
    fclose(f);
    return data;
}

// Deterministic data of a few kinds.
Bytes Generated(int kind, size_t size) {
    Bytes data(size);
    uint32_t state = 12345u + (uint32_t)kind;
    for (size_t i = 0; i < size; i++) {
        state = state * 1103515245u + 12345u;
        uint8_t r = (uint8_t)(state >> 16);
        if (kind == 0) data[i] = r;                                     // noise
        if (kind == 1) data[i] = (uint8_t)("etaoin shrdlu\n"[r % 14]);  // text-like
        if (kind == 2) data[i] = (uint8_t)((i / (1 + r % 7)) % 5);      // runs
    }
    return data;
}

TEST(LiteralDecoder, DecodersAgreeOnWhatTheWriterMakes) {
    const std::string root = SOURCE_DIR;
    const std::string files[] = {
        root + "/tests/payload/data/hello.c",
        root + "/samples/\xE3\x81\xAF\xE3\x81\x98\xE3\x82\x81\xE3\x81\xAB.txt",
        root + "/samples/\xE8\xA9\xA9/\xE6\x98\xA5.txt",
        root + "/codec/012coding.cpp",
        "/proc/self/exe",
    };
    std::vector<Bytes> inputs = {Bytes()};
    for (const std::string& file : files) {
        inputs.push_back(ReadWhole(file));
        ASSERT_FALSE(inputs.back().empty()) << file;
    }
    for (int kind = 0; kind < 3; kind++)
        for (size_t size : {(size_t)1, (size_t)0x100000 + 1})
            inputs.push_back(Generated(kind, size));
    int entries = 0;
    for (const Bytes& data : inputs) {
        for (bool odd : {false, true}) {
            Bytes stored;
            CompressOptions options;
            options.prefer_odd_rescale = odd;
            CompressResult result = compress_buffer(data.data(), data.size(), options, &stored);
            ASSERT_EQ(result.status.cause, CAUSE_OK) << result.error;
            Bytes out;
            EXPECT_EQ(literal::DecodeEntry(stored, (uint32_t)data.size(), result.odd_rescale, &out),
                      CAUSE_OK);
            EXPECT_TRUE(out == data);
            EXPECT_EQ(CompareEntry(stored.data(), stored.size(), (uint32_t)data.size(),
                                   result.odd_rescale),
                      nullptr);
            entries++;
        }
    }
    EXPECT_EQ(entries, 2 * 12);
    FuzzCleanup();
}

}  // namespace
