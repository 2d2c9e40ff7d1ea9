#include "tests/codec/codec_test_util.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "codec/012coding.h"
#include "codec/BlockSorting.h"
#include "codec/MoveToFront.h"
#include "codec/RunLength.h"
#include "decoder/stage_files.h"
#include "tests/test_hooks.h"

Bytes MakeBytes(std::initializer_list<int> values) {
    Bytes bytes;
    for (int v : values) bytes.push_back((uint8_t)v);
    return bytes;
}

Bytes TextBytes(const char* text) { return Bytes(text, text + strlen(text)); }

static std::string TempFolder() {
    const char* names[] = {"TMPDIR", "TEMP", "TMP"};
    for (const char* name : names) {
        const char* value = getenv(name);
        if (value && *value) return value;
    }
#ifdef _WIN32
    return ".";
#else
    return "/tmp";
#endif
}

std::string TempPath() {
    static uint32_t counter = 0;
#ifdef _WIN32
    unsigned long pid = GetCurrentProcessId();
    const char* separator = "\\";
#else
    unsigned long pid = (unsigned long)getpid();
    const char* separator = "/";
#endif
    char name[64];
    snprintf(name, sizeof name, "qvdec_%lu_%u.tmp", pid, ++counter);
    return TempFolder() + separator + name;
}

FileHandle OpenWriteOnly(const char* path) {
#ifdef _WIN32
    return CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
#else
    return open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
#endif
}

TempFile::TempFile() : path_(TempPath()), handle_(CreateReadWrite(path_.c_str())) {}

TempFile::TempFile(const Bytes& contents) : TempFile() { Write(contents); }

TempFile::~TempFile() {
    CloseFile(handle_);
    remove(path_.c_str());
}

void TempFile::Write(const Bytes& contents) {
    SetFilePointer64(handle_, 0, FILE_BEGIN);
    if (!contents.empty()) WriteBytes(handle_, contents.data(), (uint32_t)contents.size());
    TruncateHere(handle_);
}

Bytes TempFile::Read() {
    uint64_t size = GetFileSize64(handle_);
    Bytes contents((size_t)size);
    SetFilePointer64(handle_, 0, FILE_BEGIN);
    uint32_t got = 0;
    if (size) ReadBytes(handle_, contents.data(), (uint32_t)size, &got);
    contents.resize(got);
    return contents;
}

static void CountPump(void* context) { ++*(uint32_t*)context; }

MessagePump PumpCounter::pump() {
    MessagePump p = {CountPump, &calls};
    return p;
}

// Runs one stage from a file holding `input` into a file that holds stale
// bytes beforehand, so that a missing truncation shows.
template <typename Stage>
static StageRun RunStage(const Bytes& input, Stage stage) {
    TempFile in(input);
    TempFile out(Bytes(3000, 0xEE));
    PumpCounter counter;
    StageRun run;
    run.result = stage(in.handle(), out.handle(), counter.pump()).cause;
    run.output = out.Read();
    run.pumps = counter.calls;
    return run;
}

StageRun RunStage1(const Bytes& input, int fNewType) {
    return RunStage(input, [fNewType](FileHandle in, FileHandle out, MessagePump pump) {
        return coding012_decode(in, out, fNewType, pump, NO_OUTPUT_LIMIT);
    });
}
StageRun RunStage2(const Bytes& input) { return RunStage(input, mtf_decode); }
StageRun RunStage3(const Bytes& input) { return RunStage(input, blocksort_decode); }
StageRun RunStage4(const Bytes& input) { return RunStage(input, rle_decode); }

int FailEachAllocation(const std::function<StageRun()>& run, StageRun* last) {
    for (int n = 1;; n++) {
        FailAllocationAfter = n;
        *last = run();
        bool hit = FailAllocationAfter == 0;
        FailAllocationAfter = 0;
        if (!hit) return n - 1;
        if (last->result != CAUSE_NO_MEMORY || !last->output.empty()) return -1;
    }
}

// A failure of `cause` that carries the system's number.
static bool FailedWithNumber(Status status, Cause cause) {
    return status.cause == cause && status.system_error != 0;
}

bool EveryIoFailureIsReported(const Bytes& input, const StageCall& stage) {
    TempFile in(input), out;
    bool reported = stage(NO_FILE, out.handle()).cause == CAUSE_READ_FAILED &&
                    stage(in.handle(), NO_FILE).cause == CAUSE_WRITE_FAILED;
    std::string path = TempPath();
    FileHandle write_only = OpenWriteOnly(path.c_str());
    reported = reported && write_only != NO_FILE &&
               FailedWithNumber(stage(write_only, out.handle()), CAUSE_READ_FAILED);
    CloseFile(write_only);
    FileHandle read_only;
    OpenForReading(path.c_str(), &read_only);
    reported = reported && read_only != NO_FILE &&
               FailedWithNumber(stage(in.handle(), read_only), CAUSE_WRITE_FAILED);
    CloseFile(read_only);
    remove(path.c_str());
    return reported && stage(in.handle(), out.handle()).ok();
}

ScopedRcBufSize::ScopedRcBufSize(uint32_t size) : saved(RC_BUF_SIZE) { RC_BUF_SIZE = size; }
ScopedRcBufSize::~ScopedRcBufSize() { RC_BUF_SIZE = saved; }

const Bytes kExampleStored =
    MakeBytes({0x38, 0x23, 0x6B, 0xC4, 0x65, 0x88, 0x27, 0x35, 0x88, 0x00, 0x09,
               0x3C, 0x3D, 0x24, 0xF7, 0xB8, 0x46, 0xF0, 0xAB, 0x86, 0xEC, 0x00});
const Bytes kExampleAfterStage1 =
    MakeBytes({0x00, 0x00, 0x03, 0x00, 0x00, 0x14, 0x12, 0x00, 0x61, 0x07, 0x02, 0x01, 0x72,
               0x00, 0x00, 0x22, 0x65, 0x04, 0x04, 0x65, 0x00, 0x00, 0x00, 0x00, 0x65, 0x01});
const Bytes kExampleAfterStage2 =
    MakeBytes({0x00, 0x00, 0x03, 0x00, 0x00, 0x14, 0x11, 0x00, 0x61, 0x04, 0x61, 0x61, 0x72,
               0x61, 0x61, 0x20, 0x64, 0x00, 0x72, 0x63, 0x61, 0x61, 0x61, 0x61, 0x62, 0x62});
const Bytes kExampleAfterStage3 =
    MakeBytes({0x11, 0x00, 0x00, 0x61, 0x62, 0x72, 0x61, 0x63, 0x61, 0x64,
               0x61, 0x62, 0x72, 0x61, 0x20, 0x61, 0x61, 0x61, 0x61, 0x04});

// ---------------------------------------------------------------------------
// Range coder, the decode step with the roles reversed.

struct Encoder {
    uint32_t low = 0, range = 0xFFFFFFFFu;
    Bytes* out;
    int fNewType;
    uint32_t widened = 0;

    void Symbol(Frequency* t, int c) {
        if (range < GET_SUM(t)) {
            // The narrow-interval rule, as the reader follows it.
            while (range < GET_SUM(t)) {
                range = range_to_next_boundary(low);
                out->push_back((uint8_t)(low >> 24));
                low <<= 8;
            }
            widened++;
        }
        uint32_t tmp = range / GET_SUM(t);
        low += (uint32_t)GET_COUNT_SUM(t, c) * tmp;
        range = (uint32_t)GET_COUNT(t, c) * tmp;
        update_frequency(t, c, fNewType);
        while ((low & MASK) == ((low + range) & MASK)) {
            out->push_back((uint8_t)(low >> 24));
            low <<= 8;
            range <<= 8;
        }
        while (range < MIN_RANGE) {
            range = (MIN_RANGE - (low & (MIN_RANGE - 1))) << 8;
            out->push_back((uint8_t)(low >> 24));
            low <<= 8;
        }
    }
};

bool RangeEncode(const Bytes& data, int fNewType, Bytes* stream, uint32_t* widened) {
    stream->clear();
    ModelSet m;
    if (!init_global(&m)) return false;
    Encoder enc;
    enc.out = stream;
    enc.fNewType = fNewType;
    int c0 = 0, c00 = 0, c000 = 0;
    for (size_t i = 0; i <= data.size(); i++) {
        int value = i < data.size() ? data[i] : EOF_VALUE;
        int cls = value < 2 ? value : 2;
        enc.Symbol(m.freq_012[9 * c000 + 3 * c00 + c0], cls);
        c000 = c00;
        c00 = c0;
        c0 = cls;
        if (cls != 2) continue;
        if (value == 2) {
            enc.Symbol(m.freq_first, 0);
            continue;
        }
        int e = 0;  // the e with 2^e + 1 <= value <= 2^(e+1)
        while ((1 << (e + 1)) + 1 <= value) e++;
        enc.Symbol(m.freq_first, e);
        enc.Symbol(m.freq_second[e], value - (1 << e) - 1);
    }
    free_frequency(&m);
    for (int shift = 24; shift >= 0; shift -= 8) stream->push_back((uint8_t)(enc.low >> shift));
    if (widened) *widened = enc.widened;
    return true;
}

// ---------------------------------------------------------------------------
// Move-to-front variant

Bytes MtfEncode(const Bytes& data) {
    Bytes out(data.size());
    for (size_t start = 0; start < data.size(); start += MTF_BUF_SIZE) {
        uint8_t table[256];
        for (int i = 0; i < 256; i++) table[i] = (uint8_t)i;
        int prev = 1;
        size_t end = std::min(data.size(), start + (size_t)MTF_BUF_SIZE);
        for (size_t i = start; i < end; i++) {
            uint8_t c = data[i];
            int j = (int)(std::find(table, table + 256, c) - table);
            if (j == 1 && prev != 0) {
                std::swap(table[0], table[1]);
            } else if (j >= 2) {
                memmove(table + 2, table + 1, (size_t)j - 1);
                table[1] = c;
            }
            out[i] = (uint8_t)j;
            prev = j;
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
// Block sorting

void BwtBlock(const Bytes& block, uint32_t* top, Bytes* last_column) {
    uint32_t n = (uint32_t)block.size();
    Bytes doubled(block);
    doubled.insert(doubled.end(), block.begin(), block.end());
    std::vector<uint32_t> rotation(n);
    for (uint32_t i = 0; i < n; i++) rotation[i] = i;
    const uint8_t* d = doubled.data();
    std::stable_sort(rotation.begin(), rotation.end(),
                     [d, n](uint32_t a, uint32_t b) { return memcmp(d + a, d + b, n) < 0; });
    last_column->resize(n);
    for (uint32_t r = 0; r < n; r++) {
        (*last_column)[r] = block[(rotation[r] + n - 1) % n];
        if (rotation[r] == 0) *top = r;
    }
}

static void PutBe24(Bytes* out, uint32_t v) {
    out->push_back((uint8_t)(v >> 16));
    out->push_back((uint8_t)(v >> 8));
    out->push_back((uint8_t)v);
}

Bytes BwtEncode(const Bytes& data) {
    Bytes out;
    for (size_t start = 0; start < data.size(); start += BS_BUF_SIZE) {
        size_t end = std::min(data.size(), start + (size_t)BS_BUF_SIZE);
        Bytes block(data.begin() + start, data.begin() + end);
        uint32_t top = 0;
        Bytes last;
        BwtBlock(block, &top, &last);
        PutBe24(&out, top);
        PutBe24(&out, (uint32_t)block.size());
        out.insert(out.end(), last.begin(), last.end());
    }
    return out;
}

// ---------------------------------------------------------------------------
// Run-length coding

Bytes RleBlock(const Bytes& coded) {
    Bytes out;
    uint32_t n = (uint32_t)coded.size();
    out.push_back((uint8_t)n);
    out.push_back((uint8_t)(n >> 8));
    out.push_back((uint8_t)(n >> 16));
    out.insert(out.end(), coded.begin(), coded.end());
    return out;
}

Bytes RleEncode(const Bytes& data) {
    Bytes out;
    for (size_t start = 0; start < data.size(); start += RLE_BUF_SIZE) {
        size_t end = std::min(data.size(), start + (size_t)RLE_BUF_SIZE);
        Bytes coded;
        size_t i = start;
        while (i < end) {
            uint8_t c = data[i];
            size_t run = 1;
            while (i + run < end && run < 4 + MAX_LEN && data[i + run] == c) run++;
            if (run >= 4) {
                coded.insert(coded.end(), 4, c);
                coded.push_back((uint8_t)(run - 4));
            } else {
                coded.insert(coded.end(), run, c);
            }
            i += run;
        }
        Bytes block = RleBlock(coded);
        out.insert(out.end(), block.begin(), block.end());
    }
    return out;
}

// ---------------------------------------------------------------------------

static uint32_t NextRandom(uint32_t* state) {
    *state ^= *state << 13;
    *state ^= *state >> 17;
    *state ^= *state << 5;
    return *state;
}

Bytes RandomBytes(size_t size, uint32_t seed, uint32_t alphabet) {
    uint32_t state = seed * 2654435761u + 1;
    Bytes out(size);
    for (size_t i = 0; i < size; i++) out[i] = (uint8_t)(NextRandom(&state) % alphabet);
    return out;
}

Bytes RunnyBytes(size_t size, uint32_t seed) {
    uint32_t state = seed * 2654435761u + 7;
    Bytes out;
    out.reserve(size);
    while (out.size() < size) {
        uint8_t c = (uint8_t)(NextRandom(&state) % 6 * 40);
        uint32_t pick = NextRandom(&state) % 10;
        size_t run = pick < 6 ? 1 + NextRandom(&state) % 3 : 1 + NextRandom(&state) % 600;
        run = std::min(run, size - out.size());
        out.insert(out.end(), run, c);
    }
    return out;
}
