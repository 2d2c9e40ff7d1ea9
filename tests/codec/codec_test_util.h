// Helpers for the codec tests: temporary files through the platform layer, a
// counting message pump, and small test-side writers that build well-formed
// inputs for each stage (they mirror the decoders and are checked against the
// fixed vectors before anything relies on them).
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/status.h"
#include "platform/platform.h"

typedef std::vector<uint8_t> Bytes;

Bytes MakeBytes(std::initializer_list<int> values);
Bytes TextBytes(const char* text);

// A file in the temporary folder, created empty for reading and writing and
// deleted when the object goes.
class TempFile {
public:
    TempFile();
    explicit TempFile(const Bytes& contents);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    FileHandle handle() const { return handle_; }
    const std::string& path() const { return path_; }
    void Write(const Bytes& contents);  // replaces the contents
    Bytes Read();                       // whole contents

private:
    std::string path_;
    FileHandle handle_;
};

std::string TempPath();  // a fresh, unused path in the temporary folder
FileHandle OpenWriteOnly(const char* path);

// A pump that counts its calls.
struct PumpCounter {
    uint32_t calls = 0;
    MessagePump pump();
};

// The result of running one file-level stage on an input.
struct StageRun {
    Cause result;
    Bytes output;
    uint32_t pumps;
};
StageRun RunStage1(const Bytes& input, int fNewType);
StageRun RunStage2(const Bytes& input);
StageRun RunStage3(const Bytes& input);
StageRun RunStage4(const Bytes& input);

// Makes the 1st, 2nd, ... allocation fail in turn until `run` gets through.
// Answers how many allocations the run makes, or -1 when a run whose
// allocation failed did not answer CAUSE_NO_MEMORY or left output behind.
int FailEachAllocation(const std::function<StageRun()>& run, StageRun* last);

// A stage as the failure tests call it.
typedef std::function<Status(FileHandle in, FileHandle out)> StageCall;
// Runs `stage` with a missing input, a missing output, an input that cannot
// be read and an output that cannot be written; true when every run names
// the side that failed (CAUSE_READ_FAILED or CAUSE_WRITE_FAILED), a file that
// refused with the system's number, and the same files decode when nothing
// fails.
bool EveryIoFailureIsReported(const Bytes& input, const StageCall& stage);

// RC_BUF_SIZE set for the lifetime of the object.
struct ScopedRcBufSize {
    explicit ScopedRcBufSize(uint32_t size);
    ~ScopedRcBufSize();
    uint32_t saved;
};

// Test-side writers. RangeEncode widens a range below a table's total as the
// reader does, counting such steps in *widened when given; false only when
// the tables cannot be had.
bool RangeEncode(const Bytes& data, int fNewType, Bytes* stream, uint32_t* widened = NULL);
Bytes MtfEncode(const Bytes& data);
// Sorts rotations naively; fine for small or random inputs only.
void BwtBlock(const Bytes& block, uint32_t* top, Bytes* last_column);
Bytes BwtEncode(const Bytes& data);  // blocks of up to BS_BUF_SIZE with headers
Bytes RleEncode(const Bytes& data);  // blocks of up to RLE_BUF_SIZE expanded bytes
Bytes RleBlock(const Bytes& coded);  // one block: 3-byte little-endian header + coded

// The worked example of a whole chain: the stored bytes of the text
// "abracadabra aaaaaaaa" and its forms after stages 1, 2 and 3.
extern const Bytes kExampleStored, kExampleAfterStage1, kExampleAfterStage2, kExampleAfterStage3;

// Deterministic test data.
Bytes RandomBytes(size_t size, uint32_t seed, uint32_t alphabet = 256);
Bytes RunnyBytes(size_t size, uint32_t seed);  // random runs of random lengths
