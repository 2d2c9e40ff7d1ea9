#include "fuzz/harness.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "codec/012coding.h"
#include "codec/BlockSorting.h"
#include "codec/MoveToFront.h"
#include "codec/RunLength.h"
#include "decoder/decode_chain.h"
#include "platform/platform.h"

typedef std::vector<uint8_t> Bytes;

static void Check(bool condition, const char* what) {
    if (condition) return;
    fprintf(stderr, "harness: broken invariant: %s\n", what);
    abort();
}

// The largest output that any input of the sizes fuzzed here can decode to;
// more means a stage failed to stop.
static const uint64_t kOutputBound = 64u << 20;

// Three work files per process, created on first use and reused.
static FileHandle g_files[3] = {NO_FILE, NO_FILE, NO_FILE};
static std::string g_paths[3];

static FileHandle WorkFile(int i) {
    if (g_files[i] != NO_FILE) return g_files[i];
    const char* folder = getenv("TMPDIR");
    if (!folder || !*folder) folder = getenv("TEMP");
#ifdef _WIN32
    if (!folder || !*folder) folder = ".";
    unsigned long pid = GetCurrentProcessId();
    const char* separator = "\\";
#else
    if (!folder || !*folder) folder = "/tmp";
    unsigned long pid = (unsigned long)getpid();
    const char* separator = "/";
#endif
    char name[64];
    snprintf(name, sizeof name, "qvfuzz_%lu_%d.tmp", pid, i);
    g_paths[i] = std::string(folder) + separator + name;
    g_files[i] = CreateReadWrite(g_paths[i].c_str());
    // libFuzzer ends the process with exit(); the files go with it.
    static bool cleanup_registered = false;
    if (!cleanup_registered) cleanup_registered = atexit(FuzzCleanup) == 0;
    Check(g_files[i] != NO_FILE, "a work file can be created");
    return g_files[i];
}

void FuzzCleanup() {
    for (int i = 0; i < 3; i++) {
        if (g_files[i] == NO_FILE) continue;
        CloseFile(g_files[i]);
        remove(g_paths[i].c_str());
        g_files[i] = NO_FILE;
    }
}

static void Fill(FileHandle file, const uint8_t* data, size_t size) {
    SetFilePointer64(file, 0, FILE_BEGIN);
    if (size) Check(WriteBytes(file, data, (uint32_t)size), "input written");
    Check(TruncateHere(file), "input truncated");
}

static Bytes Contents(FileHandle file) {
    uint64_t size = GetFileSize64(file);
    Check(size <= kOutputBound, "output stays bounded");
    Bytes bytes((size_t)size);
    SetFilePointer64(file, 0, FILE_BEGIN);
    uint32_t got = 0;
    if (size) ReadBytes(file, bytes.data(), (uint32_t)size, &got);
    Check(got == size, "output read back");
    return bytes;
}

static void CountPump(void* context) { ++*(uint64_t*)context; }

static const uint32_t kBufferSizes[4] = {4, 5, 7, 4096};

// The only verdicts a stage may give on input it can read and output it can write.
static bool IsVerdict(DecodeResult result) {
    return result == DECODE_OK || result == DECODE_DAMAGED;
}

static DecodeResult RunStage1(const uint8_t* data, size_t size, int odd, uint32_t buffer_size,
                              Bytes* output, uint64_t* pumps) {
    uint32_t saved = RC_BUF_SIZE;
    RC_BUF_SIZE = buffer_size;
    Fill(WorkFile(0), data, size);
    *pumps = 0;
    MessagePump pump = {CountPump, pumps};
    DecodeResult result = coding012_decode(WorkFile(0), WorkFile(1), odd, pump, NO_OUTPUT_LIMIT);
    RC_BUF_SIZE = saved;
    Check(IsVerdict(result), "stage 1 answers ok or damaged");
    *output = Contents(WorkFile(1));
    return result;
}

void FuzzStage1(const uint8_t* data, size_t size) {
    if (size < 1) return;
    int odd = data[0] & 1;
    uint32_t small = kBufferSizes[(data[0] >> 1) & 3];
    Bytes a, b;
    uint64_t pumps_a = 0, pumps_b = 0;
    DecodeResult ra = RunStage1(data + 1, size - 1, odd, small, &a, &pumps_a);
    DecodeResult rb = RunStage1(data + 1, size - 1, odd, RC_BUF_SIZE_FLOOR, &b, &pumps_b);
    // The buffer size decides how the stage reads and writes, never what it decodes.
    Check(ra == rb, "result independent of the buffer size");
    Check(pumps_a == pumps_b, "pump calls independent of the buffer size");
    if (ra == DECODE_OK) {
        Check(a == b, "output independent of the buffer size");
        Check(pumps_a == a.size() / STAGE1_PUMP_INTERVAL, "one pump call per pump interval");
    }
}

void FuzzStage2(const uint8_t* data, size_t size) {
    Fill(WorkFile(0), data, size);
    uint64_t pumps = 0;
    MessagePump pump = {CountPump, &pumps};
    Check(mtf_decode(WorkFile(0), WorkFile(1), pump) == DECODE_OK, "stage 2 decodes any input");
    Bytes out = Contents(WorkFile(1));
    Check(out.size() == size, "stage 2 keeps the length");
    Check(pumps == size / MTF_BUF_SIZE + 1, "one pump call per chunk");
    Bytes memory(size);
    if (size) mtf_decode2(data, memory.data(), (uint32_t)size);
    Check(memory == out, "file and memory agree");
}

void FuzzStage3(const uint8_t* data, size_t size) {
    Fill(WorkFile(0), data, size);
    uint64_t pumps = 0;
    MessagePump pump = {CountPump, &pumps};
    DecodeResult result = blocksort_decode(WorkFile(0), WorkFile(1), pump);
    Check(IsVerdict(result), "stage 3 answers ok or damaged");
    Bytes out = Contents(WorkFile(1));
    Check(pumps % 2 == 0 && pumps / 2 <= size / 7 + 1, "two pump calls per block");
    Check(out.size() <= size, "stage 3 never writes more than it read");
    // A lone well-formed block restores to exactly its size.
    if (size >= 7) {
        uint32_t top = ((uint32_t)data[0] << 16) | ((uint32_t)data[1] << 8) | data[2];
        uint32_t n = ((uint32_t)data[3] << 16) | ((uint32_t)data[4] << 8) | data[5];
        if (n > 0 && n < BS_BUF_SIZE && top < n && n <= size - 6) {
            Check(result == DECODE_OK && out.size() == n, "a well-formed block is restored");
            Bytes memory(n);
            std::vector<uint32_t> work(blocksort_work_words(n));
            blocksort_restore(data + 6, memory.data(), top, n, work.data(), NO_PUMP);
            Check(memcmp(memory.data(), out.data(), n) == 0, "file and memory agree");
        }
    }
}

void FuzzStage4(const uint8_t* data, size_t size) {
    Fill(WorkFile(0), data, size);
    uint64_t pumps = 0;
    MessagePump pump = {CountPump, &pumps};
    DecodeResult result = rle_decode(WorkFile(0), WorkFile(1), pump);
    Check(IsVerdict(result), "stage 4 answers ok or damaged");
    Bytes out = Contents(WorkFile(1));
    uint64_t expected = 0;
    DecodeResult walked = rle_expanded_size(WorkFile(0), &expected);
    Check(walked == result, "size walk gives the expansion's verdict");
    if (result == DECODE_OK) Check(expected == out.size(), "size walk agrees with the expansion");
    Check(out.size() <= (uint64_t)pumps * RLE_BUF_SIZE, "one pump call per block");
}

int DecodeChain(const uint8_t* stored, size_t size, int fNewType, Bytes* output) {
    output->clear();
    FileHandle first = WorkFile(0), second = WorkFile(1), target = WorkFile(2);
    Fill(first, stored, size);
    // The size the record announces is what the stages make of the input:
    // found first without the check, then the chain runs with it.
    DecodeResult result = coding012_decode(first, second, fNewType, NO_PUMP, NO_OUTPUT_LIMIT);
    Check(IsVerdict(result), "stage 1 answers ok or damaged");
    if (result != DECODE_OK) return 0;
    Check(GetFileSize64(second) <= kOutputBound, "stage 1 output bounded");
    Check(mtf_decode(second, first, NO_PUMP) == DECODE_OK, "stage 2 decodes any input");
    result = blocksort_decode(first, second, NO_PUMP);
    Check(IsVerdict(result), "stage 3 answers ok or damaged");
    if (result != DECODE_OK) return 0;
    uint64_t expected = 0;
    result = rle_expanded_size(second, &expected);
    Check(IsVerdict(result), "stage 4 size walk answers ok or damaged");
    if (result != DECODE_OK || expected > 0xFFFFFFFFu) return 0;

    Fill(first, stored, size);
    StoredEntry entry = {(uint32_t)size, (uint32_t)expected, fNewType != 0};
    Check(DecodeWorkFiles(first, second, entry, NO_PUMP) == DECODE_OK,
          "the chain accepts what its stages accept");
    Check(ExpandWorkFile(second, target, NO_PUMP) == DECODE_OK,
          "stage 4 expands what the size walk accepted");
    *output = Contents(target);
    Check(output->size() == expected, "stage 4 writes the announced size");
    return 1;
}

void FuzzChain(const uint8_t* data, size_t size) {
    if (size < 1) return;
    uint32_t saved = RC_BUF_SIZE;
    RC_BUF_SIZE = kBufferSizes[(data[0] >> 1) & 3];
    Bytes output;
    DecodeChain(data + 1, size - 1, data[0] & 1, &output);
    RC_BUF_SIZE = saved;
}

SweepCount BitFlipSweep(const Bytes& stored, int fNewType) {
    SweepCount count = {0, 0};
    Bytes flipped = stored;
    Bytes output;
    for (size_t bit = 0; bit < stored.size() * 8; bit++) {
        flipped[bit / 8] ^= (uint8_t)(1u << (bit % 8));
        int result = DecodeChain(flipped.data(), flipped.size(), fNewType, &output);
        Check(result == 0 || result == 1, "a clear result for every flip");
        if (result)
            count.decoded++;
        else
            count.damaged++;
        flipped[bit / 8] = stored[bit / 8];
    }
    return count;
}

static Bytes B(std::initializer_list<int> values) {
    Bytes bytes;
    for (int v : values) bytes.push_back((uint8_t)v);
    return bytes;
}

std::vector<SweepEntry> SweepEntries() {
    Bytes chain = B({0x38, 0x23, 0x6B, 0xC4, 0x65, 0x88, 0x27, 0x35, 0x88, 0x00, 0x09,
                     0x3C, 0x3D, 0x24, 0xF7, 0xB8, 0x46, 0xF0, 0xAB, 0x86, 0xEC, 0x00});
    const char* text = "abracadabra aaaaaaaa";
    Bytes original(text, text + strlen(text));
    std::vector<SweepEntry> entries;
    entries.push_back({chain, 0, original});
    entries.push_back({chain, 1, original});
    return entries;
}
