// Test helpers: runs stored bytes back through the real decode stages, over
// temporary files, and keeps every intermediate form.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "platform/status.h"
#include "decoder/stage_files.h"
#include "platform/platform.h"
#include "tests/writer/pseudo_random.h"

typedef std::vector<uint8_t> Bytes;

// A file in the temporary folder, removed when the object goes.
class TempFile {
public:
    TempFile();
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    FileHandle handle() const { return handle_; }
    const std::string& path() const { return path_; }
    void Write(const Bytes& data);  // replaces the contents, leaves the position at 0
    Bytes ReadAll();

private:
    std::string path_;
    FileHandle handle_;
};

// What each stage of the decode chain produced.
struct ChainResult {
    Cause stage1 = CAUSE_DAMAGED;  // each stage's answer
    uint32_t widened_steps = 0;    // steps of stage 1 that needed the narrow-interval widening
    Cause stage2 = CAUSE_DAMAGED;
    Cause stage3 = CAUSE_DAMAGED;
    Cause stage4 = CAUSE_DAMAGED;
    Bytes after_range_decoder;  // move-to-front code
    Bytes after_move_to_front;  // block-sorted blocks
    Bytes after_block_sorting;  // run-length blocks
    Bytes output;               // the original bytes
};

// Decodes `stored` through all four stages with the given rescale rule.
ChainResult DecodeChain(const Bytes& stored, bool odd_rescale);

// Decodes only stage 1; answers coding012_decode's result and fills `values`.
Cause DecodeStage1(const Bytes& stored, bool odd_rescale, Bytes* values);

// Reproducible test data (and PseudoRandomBytes).
Bytes TextLike(uint64_t seed, size_t size);
Bytes FromHex(const char* hex);
std::string ToHex(const Bytes& data);
