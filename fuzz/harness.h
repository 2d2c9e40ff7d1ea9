// Drivers shared by the libFuzzer targets, the corpus replayer, the bit-flip
// sweep and the tests that hold the decoders to the literal decoder
// (tests/reference). The file drivers send every input through real files,
// the way the extractor runs the stages; the memory drivers call the stages'
// in-memory cores only, so they run fast. Every driver also decodes its input
// with the literal decoder and requires the same verdict and the same bytes.
// A broken invariant aborts with a message.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

// Fuzz inputs of stage 1 and of the whole chain start with one options byte:
// bit 0 selects the odd rescale rule, bits 1-2 pick the stage-1 buffer size.
// For the chain, bit 3 makes the entry announce one byte more than its
// stages give, which must make it damaged.
void FuzzStage1(const uint8_t* data, size_t size);
void FuzzStage2(const uint8_t* data, size_t size);
void FuzzStage3(const uint8_t* data, size_t size);
void FuzzStage4(const uint8_t* data, size_t size);
void FuzzChain(const uint8_t* data, size_t size);

// The memory drivers. Stage 1's options byte is the file driver's, and bit 3
// turns the narrow-interval rule off, bits 4-5 pick how many bytes each call
// of the core may produce. Stage 3 walks every block both ways, in segments
// and not. Stages 2 to 4 take their input as it is.
void FuzzStage1Memory(const uint8_t* data, size_t size);
void FuzzStage2Memory(const uint8_t* data, size_t size);
void FuzzStage3Memory(const uint8_t* data, size_t size);
void FuzzStage4Memory(const uint8_t* data, size_t size);
// The whole chain in memory: the two-thread decoder against the literal one,
// with the chain's options byte.
void FuzzChainMemory(const uint8_t* data, size_t size);

// The comparisons behind the drivers, also for tests: NULL when the product
// and the literal decoder agree, else what differed.
const char* CompareStage1(const uint8_t* stream, size_t size, int fNewType,
                          bool narrow_interval_rule, uint32_t buffer_size, uint32_t piece);
const char* CompareStage2(const uint8_t* data, size_t size);
const char* CompareStage3(const uint8_t* data, size_t size);
const char* CompareStage4(const uint8_t* data, size_t size);
// The file-based entry decoder (decoder/) and the memory decoder against the
// literal one.
const char* CompareEntry(const uint8_t* stored, size_t size, uint32_t original_size, int fNewType);
// The memory decoder alone against the literal one.
const char* CompareMemoryEntry(const uint8_t* stored, size_t size, uint32_t original_size,
                               int fNewType);

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
