#include "fuzz/harness.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
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
#include "decoder/memory_decoder.h"
#include "decoder/stage_files.h"
#include "platform/platform.h"
#include "tests/reference/literal_decoder.h"
#include "tests/test_hooks.h"

typedef std::vector<uint8_t> Bytes;

static void Check(bool condition, const char* what) {
    if (condition) return;
    fprintf(stderr, "harness: broken invariant: %s\n", what);
    abort();
}

// The largest output that any input of the sizes fuzzed here can decode to;
// more means a stage failed to stop.
static const uint64_t kOutputBound = 64u << 20;
// A few bytes of fuzz input can decode to megabytes in stage 1, which only
// slows the search down: the stage-1 memory target compares the first
// kStage1Values values, and the chain targets announce sizes only for entries
// whose stage 1 gives at most kChainStage1Values.
static const size_t kStage1Values = 1 << 10;
static const size_t kChainStage1Values = 1 << 12;
// The stage-1 file target decodes at most this many values (through the
// stage's own output limit): enough for several pump intervals and for a
// full output buffer, which the limit sizes.
static const uint64_t kStage1FileValues = 1 << 14;

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
    if (size) Check(WriteBytes(file, data, (uint32_t)size).ok(), "input written");
    Check(TruncateHere(file).ok(), "input truncated");
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
static bool IsVerdict(Cause result) { return result == CAUSE_OK || result == CAUSE_DAMAGED; }

static Cause RunStage1(const uint8_t* data, size_t size, int odd, uint32_t buffer_size,
                       Bytes* output, uint64_t* pumps) {
    uint32_t saved = RC_BUF_SIZE;
    RC_BUF_SIZE = buffer_size;
    Fill(WorkFile(0), data, size);
    *pumps = 0;
    MessagePump pump = {CountPump, pumps};
    Cause result = coding012_decode(WorkFile(0), WorkFile(1), odd, pump, kStage1FileValues).cause;
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
    Cause ra = RunStage1(data + 1, size - 1, odd, small, &a, &pumps_a);
    Cause rb = RunStage1(data + 1, size - 1, odd, RC_BUF_SIZE_FLOOR, &b, &pumps_b);
    // The buffer size decides how the stage reads and writes, never what it decodes.
    Check(ra == rb, "result independent of the buffer size");
    Check(pumps_a == pumps_b, "pump calls independent of the buffer size");
    if (ra == CAUSE_OK) {
        Check(a == b, "output independent of the buffer size");
        Check(pumps_a == a.size() / STAGE1_PUMP_INTERVAL, "one pump call per pump interval");
    }
    // A stream of more values than the limit is refused, as the literal
    // decoder refuses it when it is cut one value past the limit.
    literal::Stage1Outcome expected =
        literal::DecodeStage1(Bytes(data + 1, data + size), odd, true, kStage1FileValues + 1);
    Check(ra == expected.result, "stage 1 gives the literal decoder's verdict");
    if (ra == CAUSE_OK) Check(a == expected.values, "stage 1 gives the literal decoder's bytes");
}

void FuzzStage2(const uint8_t* data, size_t size) {
    Fill(WorkFile(0), data, size);
    uint64_t pumps = 0;
    MessagePump pump = {CountPump, &pumps};
    Check(mtf_decode(WorkFile(0), WorkFile(1), pump).cause == CAUSE_OK,
          "stage 2 decodes any input");
    Bytes out = Contents(WorkFile(1));
    Check(out.size() == size, "stage 2 keeps the length");
    Check(pumps == size / MTF_BUF_SIZE + 1, "one pump call per chunk");
    Bytes memory(size);
    if (size) mtf_decode2(data, memory.data(), (uint32_t)size);
    Check(memory == out, "file and memory agree");
    Check(out == literal::DecodeStage2(Bytes(data, data + size)),
          "stage 2 gives the literal decoder's bytes");
}

void FuzzStage3(const uint8_t* data, size_t size) {
    Fill(WorkFile(0), data, size);
    uint64_t pumps = 0;
    MessagePump pump = {CountPump, &pumps};
    Cause result = blocksort_decode(WorkFile(0), WorkFile(1), pump).cause;
    Check(IsVerdict(result), "stage 3 answers ok or damaged");
    Bytes out = Contents(WorkFile(1));
    Check(pumps % 2 == 0 && pumps / 2 <= size / 7 + 1, "two pump calls per block");
    Check(out.size() <= size, "stage 3 never writes more than it read");
    Bytes expected;
    Check(result == literal::DecodeStage3(Bytes(data, data + size), &expected) && out == expected,
          "stage 3 gives the literal decoder's verdict and bytes");
    // A lone well-formed block restores to exactly its size.
    if (size >= 7) {
        uint32_t top = ((uint32_t)data[0] << 16) | ((uint32_t)data[1] << 8) | data[2];
        uint32_t n = ((uint32_t)data[3] << 16) | ((uint32_t)data[4] << 8) | data[5];
        if (n > 0 && n < BS_BUF_SIZE && top < n && n <= size - 6) {
            Check(result == CAUSE_OK && out.size() == n, "a well-formed block is restored");
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
    Cause result = rle_decode(WorkFile(0), WorkFile(1), pump).cause;
    Check(IsVerdict(result), "stage 4 answers ok or damaged");
    Bytes out = Contents(WorkFile(1));
    uint64_t expected = 0;
    Cause walked = rle_expanded_size(WorkFile(0), &expected).cause;
    Check(walked == result, "size walk gives the expansion's verdict");
    if (result == CAUSE_OK) Check(expected == out.size(), "size walk agrees with the expansion");
    Check(out.size() <= (uint64_t)pumps * RLE_BUF_SIZE, "one pump call per block");
    Bytes literal_out;
    Check(result == literal::DecodeStage4(Bytes(data, data + size), &literal_out) &&
              out == literal_out,
          "stage 4 gives the literal decoder's verdict and bytes");
}

int DecodeChain(const uint8_t* stored, size_t size, int fNewType, Bytes* output) {
    output->clear();
    FileHandle first = WorkFile(0), second = WorkFile(1), target = WorkFile(2);
    Fill(first, stored, size);
    // The size the record announces is what the stages make of the input:
    // found first without the check, then the chain runs with it.
    Cause result = coding012_decode(first, second, fNewType, NO_PUMP, NO_OUTPUT_LIMIT).cause;
    Check(IsVerdict(result), "stage 1 answers ok or damaged");
    if (result != CAUSE_OK) return 0;
    uint64_t stage1_length = GetFileSize64(second);
    Check(stage1_length <= kOutputBound, "stage 1 output bounded");
    Check(mtf_decode(second, first, NO_PUMP).cause == CAUSE_OK, "stage 2 decodes any input");
    result = blocksort_decode(first, second, NO_PUMP).cause;
    Check(IsVerdict(result), "stage 3 answers ok or damaged");
    if (result != CAUSE_OK) return 0;
    uint64_t expected = 0;
    result = rle_expanded_size(second, &expected).cause;
    Check(IsVerdict(result), "stage 4 size walk answers ok or damaged");
    if (result != CAUSE_OK || expected > 0xFFFFFFFFu) return 0;

    Fill(first, stored, size);
    Fill(target, stored, size);  // where the chain may read them again
    StoredEntry entry = {(uint32_t)size, (uint32_t)expected, fNewType != 0};
    // Also a stage-1 output past the work bound, with bytes behind the last
    // block that the later stages ignore.
    Cause chained = DecodeWorkFiles(first, second, entry, NO_PUMP, StoredBytesAt{target, 0}).cause;
    Check(chained == CAUSE_OK, "the chain accepts what its stages accept");
    Check(ExpandWorkFile(second, target, NO_PUMP).cause == CAUSE_OK,
          "stage 4 expands what the size walk accepted");
    *output = Contents(target);
    Check(output->size() == expected, "stage 4 writes the announced size");
    return 1;
}

// The size the literal decoder's stages give an entry (before the check
// against the record), or 0 when a stage refuses it.
static uint32_t LiteralExpandedSize(const Bytes& stored, int fNewType) {
    literal::Stage1Outcome stage1 =
        literal::DecodeStage1(stored, fNewType != 0, true, kChainStage1Values);
    if (stage1.result != CAUSE_OK) return 0;
    Bytes sorted = literal::DecodeStage2(stage1.values), coded, original;
    if (literal::DecodeStage3(sorted, &coded) != CAUSE_OK) return 0;
    if (literal::DecodeStage4(coded, &original) != CAUSE_OK) return 0;
    return (uint32_t)original.size();
}

void FuzzChain(const uint8_t* data, size_t size) {
    if (size < 1) return;
    uint32_t saved = RC_BUF_SIZE;
    RC_BUF_SIZE = kBufferSizes[(data[0] >> 1) & 3];
    Bytes output;
    DecodeChain(data + 1, size - 1, data[0] & 1, &output);
    Bytes stored(data + 1, data + size);
    uint32_t announced = LiteralExpandedSize(stored, data[0] & 1) + ((data[0] >> 3) & 1);
    const char* differs = CompareEntry(data + 1, size - 1, announced, data[0] & 1);
    RC_BUF_SIZE = saved;
    Check(differs == NULL, differs ? differs : "");
}

static Status AppendDecoded(void* context, const uint8_t* data, uint32_t size) {
    ((Bytes*)context)->insert(((Bytes*)context)->end(), data, data + size);
    return STATUS_OK;
}

// The memory decoder on one and on two threads against the literal outcome.
static const char* CompareMemory(const uint8_t* stored, size_t size, const StoredEntry& entry,
                                 Cause literal_result, const Bytes& expected) {
    for (bool two_threads : {false, true}) {
        // Below that size both runs take the same path.
        if (two_threads && entry.originalSize < TWO_THREADS_FROM) break;
        MemoryBytesReader reader = {stored, (uint32_t)size};
        Bytes out;
        Cause result =
            DecodeInMemory(entry, ReadMemoryBytes, &reader, AppendDecoded, &out, two_threads).cause;
        if (!IsVerdict(result)) return "the memory decoder answers neither ok nor damaged";
        if (result != literal_result) return "the memory decoder's verdict differs";
        if (result == CAUSE_OK && out != expected) return "the memory decoder's bytes differ";
    }
    return NULL;
}

const char* CompareMemoryEntry(const uint8_t* stored, size_t size, uint32_t original_size,
                               int fNewType) {
    Bytes expected;
    Cause literal_result =
        literal::DecodeEntry(Bytes(stored, stored + size), original_size, fNewType != 0, &expected);
    StoredEntry entry = {(uint32_t)size, original_size, fNewType != 0};
    return CompareMemory(stored, size, entry, literal_result, expected);
}

void FuzzChainMemory(const uint8_t* data, size_t size) {
    if (size < 1) return;
    Bytes stored(data + 1, data + size);
    uint32_t announced = LiteralExpandedSize(stored, data[0] & 1) + ((data[0] >> 3) & 1);
    const char* differs = CompareMemoryEntry(data + 1, size - 1, announced, data[0] & 1);
    Check(differs == NULL, differs ? differs : "");
}

const char* CompareEntry(const uint8_t* stored, size_t size, uint32_t original_size, int fNewType) {
    Bytes expected;
    Cause literal_result =
        literal::DecodeEntry(Bytes(stored, stored + size), original_size, fNewType != 0, &expected);
    FileHandle first = WorkFile(0), second = WorkFile(1), target = WorkFile(2);
    Fill(first, stored, size);
    Fill(target, stored, size);  // where the chain may read them again
    StoredEntry entry = {(uint32_t)size, original_size, fNewType != 0};
    Cause result = DecodeWorkFiles(first, second, entry, NO_PUMP, StoredBytesAt{target, 0}).cause;
    if (result == CAUSE_OK) result = ExpandWorkFile(second, target, NO_PUMP).cause;
    if (!IsVerdict(result)) return "the entry decoder answers neither ok nor damaged";
    if (result != literal_result) return "the entry decoder's verdict differs from the literal one";
    if (result == CAUSE_OK && Contents(target) != expected)
        return "the entry decoder's bytes differ from the literal ones";
    return CompareMemory(stored, size, entry, literal_result, expected);
}

// ---------------------------------------------------------------------------
// Memory drivers: the in-memory cores against the literal decoder.

struct MemorySource {
    const uint8_t* data;
    size_t size;
    size_t position;
};

static Status RefillFromMemory(void* context, uint8_t* buffer, uint32_t room, uint32_t* got) {
    MemorySource* source = (MemorySource*)context;
    size_t n = source->size - source->position;
    if (n > room) n = room;
    if (n) memcpy(buffer, source->data + source->position, n);
    source->position += n;
    *got = (uint32_t)n;
    return STATUS_OK;
}

const char* CompareStage1(const uint8_t* stream, size_t size, int fNewType,
                          bool narrow_interval_rule, uint32_t buffer_size, uint32_t piece) {
    literal::Stage1Outcome expected = literal::DecodeStage1(
        Bytes(stream, stream + size), fNewType != 0, narrow_interval_rule, kStage1Values);
    MemorySource source = {stream, size, 0};
    Bytes LBuffer(buffer_size);
    Stage1Decoder d;
    if (stage1_start(&d, fNewType, RefillFromMemory, &source, LBuffer.data(), buffer_size).cause !=
        CAUSE_OK)
        return "stage 1 does not start";
    NarrowIntervalRuleSetting rule_setting(narrow_interval_rule);
    Bytes values;
    Cause result = CAUSE_OK;
    bool finished = false;
    while (result == CAUSE_OK && !finished && values.size() < kStage1Values) {
        size_t before = values.size();
        uint32_t produced = 0;
        uint32_t room = (uint32_t)std::min<size_t>(piece, kStage1Values - before);
        values.resize(before + room);
        result = stage1_decode(&d, values.data() + before, room, &produced, &finished).cause;
        values.resize(before + produced);
    }
    uint32_t widened_steps = d.rc.widened_steps;
    stage1_release(&d);
    if (!IsVerdict(result)) return "stage 1 answers neither ok nor damaged";
    // Both stopped after the same number of values, or ended alike before.
    bool cut = result == CAUSE_OK && !finished;
    if (cut != expected.cut) return "stage 1 ends where the literal one goes on, or the reverse";
    if (!cut && (finished ? CAUSE_OK : CAUSE_DAMAGED) != expected.result)
        return "stage 1's verdict differs from the literal one";
    if (values != expected.values) return "stage 1's bytes differ from the literal ones";
    if (widened_steps != expected.widened_steps)
        return "stage 1 widened other steps than the literal decoder";
    return NULL;
}

const char* CompareStage2(const uint8_t* data, size_t size) {
    Bytes out(size);
    for (size_t start = 0; start < size; start += MTF_BUF_SIZE) {
        size_t n = size - start < MTF_BUF_SIZE ? size - start : MTF_BUF_SIZE;
        mtf_decode2(data + start, out.data() + start, (uint32_t)n);
    }
    if (out != literal::DecodeStage2(Bytes(data, data + size)))
        return "stage 2's bytes differ from the literal ones";
    return NULL;
}

// Stage 3 over blocks in memory, by the stage's own rules and core.
static Cause RestoreBlocks(const uint8_t* in, size_t size, Bytes* out, bool* walks_alike) {
    out->clear();
    *walks_alike = true;
    static std::vector<uint32_t> work;  // kept, so that fuzzing does not allocate per input
    static Bytes block;
    size_t pos = 0;
    for (;;) {
        if (pos == size) return CAUSE_OK;
        if (size - pos < BS_HEADER_SIZE) return CAUSE_DAMAGED;
        uint32_t top, n;
        blocksort_read_header(in + pos, &top, &n);
        pos += BS_HEADER_SIZE;
        if (n == 0) return CAUSE_OK;
        if (!blocksort_block_ok(top, n) || size - pos < n) return CAUSE_DAMAGED;
        work.resize(blocksort_work_words(n));
        block.resize(n);
        blocksort_restore(in + pos, block.data(), top, n, work.data(), NO_PUMP);
        out->insert(out->end(), block.begin(), block.end());
        // Whichever walk the size picked, the other gives the same bytes.
        blocksort_restore_walking(in + pos, block.data(), top, n, work.data(), NO_PUMP,
                                  n < BS_SEGMENTED_WALK_MIN);
        if (!std::equal(block.begin(), block.end(), out->end() - n)) *walks_alike = false;
        // The segmented walk in two shares, the second walked first, gives them too.
        if (n >= BS_SEGMENTED_WALK_MIN) {
            // Ranked in two parts, as the in-memory decoder ranks a block as it comes.
            BlockRanks ranks;
            blocksort_rank_start(&ranks);
            blocksort_rank_part(&ranks, in + pos, n / 3, work.data());
            blocksort_rank_part(&ranks, in + pos + n / 3, n - n / 3, work.data());
            BlockRestore walk;
            blocksort_restore_begin(&walk, &ranks, top, work.data());
            blocksort_restore_walk_share(&walk, 1, 2);
            blocksort_restore_walk_share(&walk, 0, 2);
            blocksort_restore_end(&walk, block.data());
            if (!std::equal(block.begin(), block.end(), out->end() - n)) *walks_alike = false;
        }
        pos += n;
        if (n != BS_BUF_SIZE) return CAUSE_OK;
    }
}

const char* CompareStage3(const uint8_t* data, size_t size) {
    Bytes out, expected;
    bool walks_alike = true;
    Cause result = RestoreBlocks(data, size, &out, &walks_alike);
    if (!walks_alike) return "stage 3's two walks give different bytes";
    if (result != literal::DecodeStage3(Bytes(data, data + size), &expected))
        return "stage 3's verdict differs from the literal one";
    if (out != expected) return "stage 3's bytes differ from the literal ones";
    return NULL;
}

// Stage 4 over blocks in memory, by the stage's own rules and core; the
// measuring walk must count what the expansion writes.
static Cause ExpandBlocks(const uint8_t* in, size_t size, Bytes* out, bool* measured_alike) {
    out->clear();
    *measured_alike = true;
    static Bytes block(RLE_BUF_SIZE);  // kept, so that fuzzing does not allocate per input
    size_t pos = 0;
    for (;;) {
        if (pos == size) return CAUSE_OK;
        if (size - pos < RLE_HEADER_SIZE) return CAUSE_DAMAGED;
        uint32_t beforesize = rle_read_header(in + pos);
        pos += RLE_HEADER_SIZE;
        if (!rle_block_size_ok(beforesize) || size - pos < beforesize) return CAUSE_DAMAGED;
        int32_t n = rle_decode2(in + pos, block.data(), beforesize, RLE_THRESHOLD);
        if (rle_decode2(in + pos, NULL, beforesize, RLE_THRESHOLD) != n) *measured_alike = false;
        if (n < 0) return CAUSE_DAMAGED;
        out->insert(out->end(), block.begin(), block.begin() + n);
        pos += beforesize;
        if ((uint32_t)n != RLE_BUF_SIZE) return CAUSE_OK;
    }
}

const char* CompareStage4(const uint8_t* data, size_t size) {
    Bytes out, expected;
    bool measured_alike = true;
    Cause result = ExpandBlocks(data, size, &out, &measured_alike);
    if (!measured_alike) return "stage 4's measuring walk differs from its expansion";
    if (result != literal::DecodeStage4(Bytes(data, data + size), &expected))
        return "stage 4's verdict differs from the literal one";
    if (out != expected) return "stage 4's bytes differ from the literal ones";
    return NULL;
}

static const uint32_t kPieces[4] = {1, 3, 100, 4096};

void FuzzStage1Memory(const uint8_t* data, size_t size) {
    if (size < 1) return;
    const char* differs =
        CompareStage1(data + 1, size - 1, data[0] & 1, (data[0] & 8) == 0,
                      kBufferSizes[(data[0] >> 1) & 3], kPieces[(data[0] >> 4) & 3]);
    Check(differs == NULL, differs ? differs : "");
}

void FuzzStage2Memory(const uint8_t* data, size_t size) {
    const char* differs = CompareStage2(data, size);
    Check(differs == NULL, differs ? differs : "");
}

void FuzzStage3Memory(const uint8_t* data, size_t size) {
    const char* differs = CompareStage3(data, size);
    Check(differs == NULL, differs ? differs : "");
}

void FuzzStage4Memory(const uint8_t* data, size_t size) {
    const char* differs = CompareStage4(data, size);
    Check(differs == NULL, differs ? differs : "");
}

SweepCount BitFlipSweep(const Bytes& stored, int fNewType) {
    SweepCount count = {0, 0};
    Bytes flipped = stored;
    const uint32_t original_size = LiteralExpandedSize(stored, fNewType);
    Bytes output;
    for (size_t bit = 0; bit < stored.size() * 8; bit++) {
        flipped[bit / 8] ^= (uint8_t)(1u << (bit % 8));
        int result = DecodeChain(flipped.data(), flipped.size(), fNewType, &output);
        Check(result == 0 || result == 1, "a clear result for every flip");
        // The same verdict and bytes as the literal decoder, with the record
        // still announcing the original size.
        const char* differs = CompareEntry(flipped.data(), flipped.size(), original_size, fNewType);
        Check(differs == NULL, differs ? differs : "");
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
