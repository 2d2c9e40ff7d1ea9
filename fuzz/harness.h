// Drivers shared by the libFuzzer targets, the corpus replayer and the
// bit-flip sweep. Every input goes through real files, the way the extractor
// runs the stages; a broken invariant aborts with a message.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

// Fuzz inputs of stage 1 and of the whole chain start with one options byte:
// bit 0 selects the odd rescale rule, bits 1-2 pick the stage-1 buffer size.
void FuzzStage1(const uint8_t* data, size_t size);
void FuzzStage2(const uint8_t* data, size_t size);
void FuzzStage3(const uint8_t* data, size_t size);
void FuzzStage4(const uint8_t* data, size_t size);
void FuzzChain(const uint8_t* data, size_t size);

// Runs stored bytes through all four stages; 1 with the original bytes in
// *output, or 0 for a damaged entry.
int DecodeChain(const uint8_t* stored, size_t size, int fNewType, std::vector<uint8_t>* output);

// Flips every bit of `stored` in turn and decodes each variant through the
// chain. Aborts on anything but a clear 1 or 0.
struct SweepCount {
    uint32_t decoded;
    uint32_t damaged;
};
SweepCount BitFlipSweep(const std::vector<uint8_t>& stored, int fNewType);

// Stored entries with their rule and their original bytes, for the sweep.
struct SweepEntry {
    std::vector<uint8_t> stored;
    int fNewType;
    std::vector<uint8_t> original;
};
std::vector<SweepEntry> SweepEntries();

// Removes the work files of this process.
void FuzzCleanup();
