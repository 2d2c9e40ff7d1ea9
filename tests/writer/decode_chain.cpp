#include "tests/writer/decode_chain.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <stdexcept>

#include "codec/012coding.h"
#include "codec/BlockSorting.h"
#include "codec/MoveToFront.h"
#include "codec/RunLength.h"
#include "decoder/stage_files.h"

TempFile::TempFile() {
    static int serial = 0;
    const char* dir = getenv("TMPDIR");
    if (!dir || !*dir) dir = "/tmp";
    char name[512];
    snprintf(name, sizeof(name), "%s/writer-test-%d-%d.tmp", dir, (int)getpid(), serial++);
    path_ = name;
    handle_ = CreateReadWrite(path_.c_str());
    if (handle_ == NO_FILE) throw std::runtime_error("cannot create " + path_);
}

TempFile::~TempFile() {
    CloseFile(handle_);
    remove(path_.c_str());
}

void TempFile::Write(const Bytes& data) {
    SetFilePointer64(handle_, 0, FILE_BEGIN);
    TruncateHere(handle_);
    if (!data.empty() && !WriteBytes(handle_, data.data(), (uint32_t)data.size()).ok())
        throw std::runtime_error("cannot write " + path_);
    SetFilePointer64(handle_, 0, FILE_BEGIN);
}

Bytes TempFile::ReadAll() {
    uint64_t size = GetFileSize64(handle_);
    Bytes data((size_t)size);
    SetFilePointer64(handle_, 0, FILE_BEGIN);
    uint32_t got = 0;
    if (size > 0 && (!ReadBytes(handle_, data.data(), (uint32_t)size, &got).ok() || got != size))
        throw std::runtime_error("cannot read " + path_);
    return data;
}

ChainResult DecodeChain(const Bytes& stored, bool odd_rescale) {
    ChainResult r;
    TempFile first, second, target;
    first.Write(stored);
    r.stage1 = coding012_decode(first.handle(), second.handle(), odd_rescale ? 1 : 0, NO_PUMP,
                                NO_OUTPUT_LIMIT, &r.widened_steps)
                   .cause;
    r.after_range_decoder = second.ReadAll();
    if (r.stage1 != CAUSE_OK) return r;
    r.stage2 = mtf_decode(second.handle(), first.handle(), NO_PUMP).cause;
    r.after_move_to_front = first.ReadAll();
    r.stage3 = blocksort_decode(first.handle(), second.handle(), NO_PUMP).cause;
    r.after_block_sorting = second.ReadAll();
    r.stage4 = rle_decode(second.handle(), target.handle(), NO_PUMP).cause;
    r.output = target.ReadAll();
    return r;
}

Cause DecodeStage1(const Bytes& stored, bool odd_rescale, Bytes* values) {
    TempFile first, second;
    first.Write(stored);
    Cause result = coding012_decode(first.handle(), second.handle(), odd_rescale ? 1 : 0, NO_PUMP,
                                    NO_OUTPUT_LIMIT)
                       .cause;
    *values = second.ReadAll();
    return result;
}

Bytes TextLike(uint64_t seed, size_t size) {
    static const char* words[] = {"the ",   "quick ", "brown ", "fox ",    "jumps ",   "over ",
                                  "lazy ",  "dog",    ", ",     ". ",      "archive ", "folder ",
                                  "file\n", "entry ", "block ", "stream ", "value ",   "\n\n"};
    const size_t word_count = sizeof(words) / sizeof(words[0]);
    uint64_t state = seed * 0x9E3779B97F4A7C15ULL + 7;
    Bytes data;
    data.reserve(size);
    while (data.size() < size) {
        const char* w = words[NextPseudoRandom(&state) % word_count];
        for (; *w && data.size() < size; w++) data.push_back((uint8_t)*w);
    }
    return data;
}

Bytes FromHex(const char* hex) {
    Bytes data;
    unsigned value;
    int used;
    while (sscanf(hex, " %2x%n", &value, &used) == 1) {
        data.push_back((uint8_t)value);
        hex += used;
    }
    return data;
}

std::string ToHex(const Bytes& data) {
    std::string text;
    char byte[4];
    for (size_t i = 0; i < data.size(); i++) {
        snprintf(byte, sizeof(byte), i ? " %02X" : "%02X", data[i]);
        text += byte;
    }
    return text;
}
