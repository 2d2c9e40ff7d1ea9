// Decode benchmark: the single-threaded decode chain that the extractor stub
// runs (the stored bytes copied into a work file, stages 1 to 3 between two
// work files with the size check, stage 4 into the target) against bzip2 -d,
// xz -d and zstd -d on the same files, each file one archive entry.
//
// Every decoder decodes the whole corpus once per round; the best round of
// each counts, in CPU seconds (ours measured in this process, the tools
// through their child-process accounting, start-up included) and in wall
// clock. A second pass times every stage of our chain on its own.
//
// With the quorvane program given, it also times `quorvane test` and
// `quorvane extract` on one archive per file (a process per file, as for the
// other tools), and the in-memory decoder in this process on one thread and
// on two.
//
//   decode_bench CORPUS_DIR WORK_DIR [ROUNDS [QUORVANE]]
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "codec/012coding.h"
#include "codec/BlockSorting.h"
#include "codec/MoveToFront.h"
#include "codec/RunLength.h"
#include "codec/compress.h"
#include "lib/compress_file.h"
#include "decoder/decode_chain.h"
#include "decoder/memory_decoder.h"
#include "decoder/stage_files.h"
#include "payload/records.h"

namespace fs = std::filesystem;

namespace {

double Seconds(clockid_t clock) {
    struct timespec t;
    clock_gettime(clock, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

double ChildrenCpu() {
    struct rusage usage;
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec / 1e6;
}

// CPU and wall-clock seconds of one piece of work.
struct Timing {
    double cpu = 0;
    double wall = 0;
};

// Measures what happens between its construction and Stop(): this process's
// CPU time plus that of the children that ended meanwhile.
struct Stopwatch {
    double cpu0 = Seconds(CLOCK_PROCESS_CPUTIME_ID) + ChildrenCpu();
    double wall0 = Seconds(CLOCK_MONOTONIC);
    Timing Stop() const {
        Timing t;
        t.cpu = Seconds(CLOCK_PROCESS_CPUTIME_ID) + ChildrenCpu() - cpu0;
        t.wall = Seconds(CLOCK_MONOTONIC) - wall0;
        return t;
    }
};

void Fail(const std::string& what) {
    fprintf(stderr, "decode_bench: %s\n", what.c_str());
    exit(1);
}

// Runs argv with stdin from `in` and stdout to `out`.
void RunTool(const std::vector<std::string>& argv, const std::string& in, const std::string& out) {
    pid_t child = fork();
    if (child == 0) {
        int fd_in = open(in.c_str(), O_RDONLY);
        int fd_out = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd_in < 0 || fd_out < 0) _exit(127);
        dup2(fd_in, 0);
        dup2(fd_out, 1);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back((char*)a.c_str());
        args.push_back(NULL);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Fail(argv[0] + " failed on " + in);
}

bool SameContents(const std::string& a, const std::string& b) {
    FILE* fa = fopen(a.c_str(), "rb");
    FILE* fb = fopen(b.c_str(), "rb");
    bool same = fa && fb;
    static char ba[1 << 16], bb[1 << 16];
    while (same) {
        size_t na = fread(ba, 1, sizeof ba, fa);
        size_t nb = fread(bb, 1, sizeof bb, fb);
        same = na == nb && std::equal(ba, ba + na, bb);
        if (na == 0) break;
    }
    if (fa) fclose(fa);
    if (fb) fclose(fb);
    return same;
}

struct Entry {
    std::string original;  // path of the original file
    std::string stored;    // our stored bytes
    std::string archive;   // a bare payload of the one entry
    StoredEntry record;
};

// A bare payload holding `e` as its only entry.
void WriteArchive(Entry* e) {
    e->archive = e->stored + ".payload";
    EntryRecord record;
    memset(&record, 0, sizeof record);
    std::string name = fs::path(e->original).filename().string();
    record.nameLength = (uint8_t)std::min<size_t>(name.size(), 200);
    memcpy(record.name, name.data(), record.nameLength);
    record.attributeWord = ATTRIBUTE_ARCHIVE | (e->record.odd_rescale ? ODD_RESCALE : 0);
    record.originalSize = e->record.originalSize;
    record.storedSize = e->record.storedSize;
    FileHandle out = CreateReadWrite(e->archive.c_str());
    FileHandle in;
    OpenForReading(e->stored.c_str(), &in);
    std::vector<uint8_t> stored(e->record.storedSize);
    uint32_t got = 0;
    bool ok = out != NO_FILE && in != NO_FILE && WriteEntryRecord(out, &record).ok() &&
              ReadBytes(in, stored.data(), (uint32_t)stored.size(), &got).ok() &&
              got == stored.size() && WriteBytes(out, stored.data(), got).ok();
    CloseFile(in);
    CloseFile(out);
    if (!ok) Fail("cannot write " + e->archive);
}

Status WriteDecoded(void* context, const uint8_t* data, uint32_t size) {
    return WriteBytes(*(FileHandle*)context, data, size);
}

// The in-memory decoder on the stored bytes, into the target file.
void DecodeInMemoryTo(const Entry& e, const std::string& work, bool two_threads) {
    FileHandle archive;
    OpenForReading(e.stored.c_str(), &archive);
    FileHandle target = CreateReadWrite((work + "/target").c_str());
    StoredBytesReader reader = {archive, e.record.storedSize};
    bool ok = archive != NO_FILE && target != NO_FILE &&
              DecodeInMemory(e.record, ReadStoredBytes, &reader, WriteDecoded, &target, two_threads)
                      .cause == CAUSE_OK;
    CloseFile(archive);
    CloseFile(target);
    if (!ok) Fail("the memory decoder failed on " + e.original);
}

// Stores one file with our writer, as `create` would.
Entry StoreEntry(const std::string& path, const std::string& work) {
    Entry e;
    e.original = path;
    e.stored = work + "/" + fs::path(path).filename().string() + ".qv";
    FileHandle in;
    OpenForReading(path.c_str(), &in);
    FileHandle out = CreateReadWrite(e.stored.c_str());
    uint64_t size = GetFileSize64(in);
    CompressResult r = CompressFile(in, (uint32_t)size, out, CompressOptions());
    CloseFile(in);
    CloseFile(out);
    if (r.status.cause != CAUSE_OK) Fail("our writer failed on " + path + ": " + r.error);
    e.record.storedSize = (uint32_t)r.stored_size;
    e.record.originalSize = (uint32_t)size;
    e.record.odd_rescale = r.odd_rescale;
    return e;
}

// The work files and the target of one decode, in the work folder.
struct ChainFiles {
    FileHandle archive, first, second, target;
};

ChainFiles OpenChainFiles(const Entry& e, const std::string& work) {
    ChainFiles f;
    OpenForReading(e.stored.c_str(), &f.archive);
    f.first = CreateReadWrite((work + "/work1").c_str());
    f.second = CreateReadWrite((work + "/work2").c_str());
    f.target = CreateReadWrite((work + "/target").c_str());
    if (f.archive == NO_FILE || f.first == NO_FILE || f.second == NO_FILE || f.target == NO_FILE)
        Fail("cannot open the work files in " + work);
    return f;
}

void CloseChainFiles(ChainFiles* f) {
    CloseFile(f->archive);
    CloseFile(f->first);
    CloseFile(f->second);
    CloseFile(f->target);
}

// The whole chain as the stub runs it: copy, stages 1-3 with the size check,
// stage 4 into the target.
void DecodeWithChain(const Entry& e, const std::string& work) {
    ChainFiles f = OpenChainFiles(e, work);
    bool ok =
        CopyIntoWorkFile(f.archive, f.first, e.record.storedSize).cause == CAUSE_OK &&
        DecodeWorkFiles(f.first, f.second, e.record, NO_PUMP, StoredBytesAt{f.archive, 0}).cause ==
            CAUSE_OK &&
        ExpandWorkFile(f.second, f.target, NO_PUMP).cause == CAUSE_OK;
    CloseChainFiles(&f);
    if (!ok) Fail("our chain failed on " + e.original);
}

// The steps of the chain, timed one by one.
enum Step { COPY, STAGE1, STAGE2, STAGE3, SIZE_CHECK, STAGE4, STEP_COUNT };
const char* const kStepNames[STEP_COUNT] = {
    "copy into the first work file", "stage 1 range decoder", "stage 2 move-to-front",
    "stage 3 block sorting",         "size check of stage 4", "stage 4 run-length"};

struct StepTimes {
    Timing step[STEP_COUNT];
    uint64_t output[STEP_COUNT] = {};
};

void AddTiming(Timing* sum, const Timing& t) {
    sum->cpu += t.cpu;
    sum->wall += t.wall;
}

void DecodeStepByStep(const Entry& e, const std::string& work, StepTimes* times) {
    ChainFiles f = OpenChainFiles(e, work);
    Cause r[STEP_COUNT];
    uint64_t expanded = 0;
    Stopwatch w0;
    r[COPY] = CopyIntoWorkFile(f.archive, f.first, e.record.storedSize).cause;
    AddTiming(&times->step[COPY], w0.Stop());
    Stopwatch w1;
    r[STAGE1] =
        coding012_decode(f.first, f.second, e.record.odd_rescale, NO_PUMP, NO_OUTPUT_LIMIT).cause;
    AddTiming(&times->step[STAGE1], w1.Stop());
    Stopwatch w2;
    r[STAGE2] = mtf_decode(f.second, f.first, NO_PUMP).cause;
    AddTiming(&times->step[STAGE2], w2.Stop());
    Stopwatch w3;
    r[STAGE3] = blocksort_decode(f.first, f.second, NO_PUMP).cause;
    AddTiming(&times->step[STAGE3], w3.Stop());
    Stopwatch w4;
    r[SIZE_CHECK] = rle_expanded_size(f.second, &expanded).cause;
    AddTiming(&times->step[SIZE_CHECK], w4.Stop());
    Stopwatch w5;
    r[STAGE4] = rle_decode(f.second, f.target, NO_PUMP).cause;
    AddTiming(&times->step[STAGE4], w5.Stop());
    times->output[COPY] += e.record.storedSize;
    times->output[STAGE1] += GetFileSize64(f.first);  // stage 2 keeps stage 1's length
    times->output[STAGE2] += GetFileSize64(f.first);
    times->output[STAGE3] += GetFileSize64(f.second);
    times->output[SIZE_CHECK] += expanded;
    times->output[STAGE4] += GetFileSize64(f.target);
    CloseChainFiles(&f);
    for (Cause result : r)
        if (result != CAUSE_OK) Fail("a stage failed on " + e.original);
}

struct Tool {
    const char* name;
    const char* suffix;
    std::vector<std::string> compress;
    std::vector<std::string> decompress;
};

const Tool kTools[] = {
    {"bzip2 -d", ".bz2", {"bzip2", "-9", "-c"}, {"bzip2", "-d", "-c"}},
    {"xz -d", ".xz", {"xz", "-6", "-c", "-T1"}, {"xz", "-d", "-c", "-T1"}},
    {"zstd -d", ".zst", {"zstd", "-19", "-c", "-q"}, {"zstd", "-d", "-c", "-q"}},
};
const size_t kToolCount = sizeof kTools / sizeof kTools[0];

// One line of the comparison: a decoder and its best round.
struct Row {
    std::string name;
    Timing best;
};

void KeepBest(Timing* best, const Timing& t, bool first) {
    if (first || t.cpu < best->cpu) best->cpu = t.cpu;
    if (first || t.wall < best->wall) best->wall = t.wall;
}

double Mb(uint64_t bytes) { return bytes / 1e6; }

// The comparison table; speeds relative to the row named `reference`.
void PrintComparison(const std::vector<Row>& rows, const std::string& reference,
                     uint64_t original_bytes) {
    const Row* ref = NULL;
    for (const Row& r : rows)
        if (r.name == reference) ref = &r;
    printf("| Decoder | CPU s | Wall s | MB/s (CPU) | Speed vs %s (CPU) | Speed vs %s (wall) |\n",
           reference.c_str(), reference.c_str());
    printf("|---|---:|---:|---:|---:|---:|\n");
    for (const Row& r : rows)
        printf("| %s | %.3f | %.3f | %.2f | %.3f | %.3f |\n", r.name.c_str(), r.best.cpu,
               r.best.wall, Mb(original_bytes) / r.best.cpu, ref->best.cpu / r.best.cpu,
               ref->best.wall / r.best.wall);
}

void PrintSteps(const StepTimes& best) {
    double total = 0;
    for (const Timing& t : best.step) total += t.cpu;
    printf("| Step | Output MB | CPU s | Share | MB/s (CPU) |\n|---|---:|---:|---:|---:|\n");
    for (int s = 0; s < STEP_COUNT; s++)
        printf("| %s | %.2f | %.3f | %.1f %% | %.2f |\n", kStepNames[s], Mb(best.output[s]),
               best.step[s].cpu, 100 * best.step[s].cpu / total,
               Mb(best.output[s]) / best.step[s].cpu);
    printf("| sum of the steps | | %.3f | | |\n", total);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 5) {
        fprintf(stderr, "usage: %s CORPUS_DIR WORK_DIR [ROUNDS [QUORVANE]]\n", argv[0]);
        return 2;
    }
    std::string corpus = argv[1], work = argv[2];
    int rounds = argc >= 4 ? atoi(argv[3]) : 5;
    std::string quorvane = argc == 5 ? argv[4] : "";
    if (rounds < 1) Fail("ROUNDS must be at least 1");
    fs::create_directories(work);
    RC_BUF_SIZE = RcBufSizeForMemory((uint64_t)sysconf(_SC_PHYS_PAGES) * sysconf(_SC_PAGESIZE));

    std::vector<std::string> paths;
    for (const auto& entry : fs::directory_iterator(corpus))
        if (entry.is_regular_file()) paths.push_back(entry.path().string());
    std::sort(paths.begin(), paths.end());
    if (paths.empty()) Fail("no files in " + corpus);

    // Stored forms, untimed.
    uint64_t original_bytes = 0;
    std::vector<Entry> entries;
    for (const std::string& path : paths) {
        entries.push_back(StoreEntry(path, work));
        WriteArchive(&entries.back());
        original_bytes += fs::file_size(path);
        for (const Tool& tool : kTools)
            RunTool(tool.compress, path, entries.back().stored + tool.suffix);
    }

    // Every decoder must give the originals back; checked once, untimed.
    const std::string target = work + "/target";
    for (const Entry& e : entries) {
        DecodeWithChain(e, work);
        if (!SameContents(e.original, target)) Fail("our chain did not give back " + e.original);
        for (const Tool& tool : kTools) {
            RunTool(tool.decompress, e.stored + tool.suffix, target);
            if (!SameContents(e.original, target))
                Fail(std::string(tool.name) + " did not give back " + e.original);
        }
    }

    // The tool as a user runs it: list, test and extract each archive, a
    // process per archive; `extract` writes into a folder of its own.
    const std::string extracted = work + "/extracted";
    std::vector<std::pair<std::string, std::vector<std::string>>> commands;
    if (!quorvane.empty()) {
        commands.push_back({"quorvane test", {quorvane, "test"}});
        commands.push_back(
            {"quorvane extract", {quorvane, "extract", "--overwrite", "-d", extracted}});
    }
    std::vector<Row> rows(3 + kToolCount + commands.size());
    rows[0].name = "quorvane chain, 1 thread, work files";
    rows[1].name = "quorvane memory decoder, 1 thread";
    rows[2].name = "quorvane memory decoder, 2 threads";
    for (size_t t = 0; t < kToolCount; t++) rows[3 + t].name = kTools[t].name;
    for (size_t c = 0; c < commands.size(); c++) rows[3 + kToolCount + c].name = commands[c].first;
    StepTimes best_steps;
    for (int round = 0; round < rounds; round++) {
        bool first = round == 0;
        Stopwatch ours;
        for (const Entry& e : entries) DecodeWithChain(e, work);
        KeepBest(&rows[0].best, ours.Stop(), first);
        for (int threads = 1; threads <= 2; threads++) {
            Stopwatch memory;
            for (const Entry& e : entries) DecodeInMemoryTo(e, work, threads == 2);
            KeepBest(&rows[threads].best, memory.Stop(), first);
        }
        for (size_t t = 0; t < kToolCount; t++) {
            Stopwatch tool;
            for (const Entry& e : entries)
                RunTool(kTools[t].decompress, e.stored + kTools[t].suffix, target);
            KeepBest(&rows[3 + t].best, tool.Stop(), first);
        }
        for (size_t c = 0; c < commands.size(); c++) {
            fs::remove_all(extracted);
            Stopwatch tool;
            for (const Entry& e : entries) {
                std::vector<std::string> argv = commands[c].second;
                argv.insert(argv.begin() + 2, e.archive);  // behind the command
                RunTool(argv, "/dev/null", work + "/tool-output");
            }
            KeepBest(&rows[3 + kToolCount + c].best, tool.Stop(), first);
        }
        StepTimes steps;
        for (const Entry& e : entries) DecodeStepByStep(e, work, &steps);
        for (int s = 0; s < STEP_COUNT; s++) KeepBest(&best_steps.step[s], steps.step[s], first);
        std::copy(steps.output, steps.output + STEP_COUNT, best_steps.output);
        fprintf(stderr, "round %d of %d done\n", round + 1, rounds);
    }
    // What extract wrote is what was stored.
    if (!quorvane.empty())
        for (const Entry& e : entries)
            if (!SameContents(e.original,
                              extracted + "/" + fs::path(e.original).filename().string()))
                Fail("quorvane extract did not give back " + e.original);

    printf("Corpus: %zu files, %.2f MB (%s); best of %d rounds\n\n", entries.size(),
           Mb(original_bytes), corpus.c_str(), rounds);
    PrintComparison(rows, kTools[0].name, original_bytes);
    printf("\nOur chain step by step (each step's best round):\n\n");
    PrintSteps(best_steps);
    fs::remove_all(work);
    return 0;
}
