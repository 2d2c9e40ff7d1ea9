// Compression benchmark: our writer and reader (payload only: CompressFile,
// then the four decode stages through work files) against bzip2 -9, xz -6 and
// zstd -19 on the same files, each file compressed on its own as an archive
// entry would be. Prints compressed sizes, throughput and ratios, and the
// decode throughput of every stage.
//
// Times are CPU seconds (user + system) of the work itself, ours measured in
// this process and the other tools' through their child-process accounting,
// so the figures stay comparable on a machine that is busy with other work.
//
// Given the quorvane tool, it then times `quorvane create --payload-only`
// against `bzip2 -9`, both run as one process per file, in CPU seconds and in
// wall-clock seconds (the writer sorts blocks on every core, bzip2 on one),
// best of three rounds; and, as archives are made, one `quorvane create` of
// the whole corpus (several small files compressed at once) against the sum
// of bzip2 -9 over its files.
//
//   compression_bench [--create-only] CORPUS_DIR WORK_DIR [QUORVANE]
//
// --create-only runs the comparison of the tool alone (QUORVANE is then needed).
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
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "codec/012coding.h"
#include "codec/BlockSorting.h"
#include "codec/MoveToFront.h"
#include "codec/RunLength.h"
#include "codec/compress.h"
#include "lib/compress_file.h"
#include "decoder/decode_chain.h"
#include "decoder/stage_files.h"

namespace fs = std::filesystem;

// CPU seconds used by this process so far.
static double now() {
    struct timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

// CPU seconds used by finished child processes so far.
static double children_cpu() {
    struct rusage usage;
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec / 1e6;
}

struct Totals {
    uint64_t original = 0;
    uint64_t compressed = 0;
    double compress_seconds = 0;
    double decompress_seconds = 0;
    std::map<std::string, uint64_t> compressed_by_kind;
};

static double wall_clock() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

// Runs argv with stdin from `in` and stdout to `out`; answers its CPU seconds
// and, when asked, its wall-clock seconds.
static double run_tool(const std::vector<std::string>& argv, const std::string& in,
                       const std::string& out, double* wall = NULL) {
    double start = children_cpu();
    double wall_start = wall_clock();
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
    if (wall) *wall = wall_clock() - wall_start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "%s failed on %s\n", argv[0].c_str(), in.c_str());
        exit(1);
    }
    return children_cpu() - start;
}

static bool same_contents(const std::string& a, const std::string& b) {
    FILE* fa = fopen(a.c_str(), "rb");
    FILE* fb = fopen(b.c_str(), "rb");
    bool same = fa && fb;
    static char ba[1 << 16], bb[1 << 16];
    while (same) {
        size_t na = fread(ba, 1, sizeof(ba), fa);
        size_t nb = fread(bb, 1, sizeof(bb), fb);
        same = na == nb && std::equal(ba, ba + na, bb);
        if (na == 0) break;
    }
    if (fa) fclose(fa);
    if (fb) fclose(fb);
    return same;
}

// Per-stage decode times and output sizes.
struct StageTotals {
    double seconds[5] = {0, 0, 0, 0, 0};  // copy, stage 1..4
    uint64_t output[5] = {0, 0, 0, 0, 0};
};

static uint64_t file_size(FileHandle f) { return GetFileSize64(f); }

// Our codec on one file: CompressFile, then the decode chain through two
// work files into a target, checked against the original.
static void run_ours(const std::string& path, const std::string& kind, const std::string& work,
                     Totals* totals, StageTotals* stages) {
    std::string stored_path = work + "/stored", first_path = work + "/work1",
                second_path = work + "/work2", target_path = work + "/target";
    FileHandle in;
    OpenForReading(path.c_str(), &in);
    FileHandle stored = CreateReadWrite(stored_path.c_str());
    uint64_t size = GetFileSize64(in);
    double start = now();
    CompressResult r = CompressFile(in, (uint32_t)size, stored, CompressOptions());
    totals->compress_seconds += now() - start;
    CloseFile(in);
    if (r.status.cause != CAUSE_OK) {
        fprintf(stderr, "compress failed on %s: %s\n", path.c_str(), r.error);
        exit(1);
    }
    totals->original += size;
    totals->compressed += r.stored_size;
    totals->compressed_by_kind[kind] += r.stored_size;

    FileHandle first = CreateReadWrite(first_path.c_str());
    FileHandle second = CreateReadWrite(second_path.c_str());
    FileHandle target = CreateReadWrite(target_path.c_str());
    double t0 = now();
    // The copy of the stored bytes into the first work file, as the extractor does.
    SetFilePointer64(stored, 0, FILE_BEGIN);
    bool ok = CopyIntoWorkFile(stored, first, (uint32_t)r.stored_size).cause == CAUSE_OK;
    double t1 = now();
    ok = ok &&
         coding012_decode(first, second, r.odd_rescale ? 1 : 0, NO_PUMP, NO_OUTPUT_LIMIT).cause ==
             CAUSE_OK;
    double t2 = now();
    ok = ok && mtf_decode(second, first, NO_PUMP).cause == CAUSE_OK;
    double t3 = now();
    ok = ok && blocksort_decode(first, second, NO_PUMP).cause == CAUSE_OK;
    double t4 = now();
    ok = ok && rle_decode(second, target, NO_PUMP).cause == CAUSE_OK;
    double t5 = now();
    if (!ok) {
        fprintf(stderr, "decode failed on %s\n", path.c_str());
        exit(1);
    }
    stages->seconds[0] += t1 - t0;
    stages->seconds[1] += t2 - t1;
    stages->seconds[2] += t3 - t2;
    stages->seconds[3] += t4 - t3;
    stages->seconds[4] += t5 - t4;
    stages->output[0] += r.stored_size;
    stages->output[1] += file_size(first);  // stage 2 output, same length as stage 1's
    stages->output[2] += file_size(first);
    stages->output[3] += file_size(second);  // run-length stream
    stages->output[4] += file_size(target);
    totals->decompress_seconds += t5 - t0;
    CloseFile(stored);
    CloseFile(first);
    CloseFile(second);
    CloseFile(target);
    if (!same_contents(path, target_path)) {
        fprintf(stderr, "round trip differs on %s\n", path.c_str());
        exit(1);
    }
}

struct Tool {
    const char* name;
    std::vector<std::string> compress;
    std::vector<std::string> decompress;
    Totals totals;
};

static void run_other(const std::string& path, const std::string& kind, const std::string& work,
                      Tool* tool) {
    std::string packed = work + "/packed", unpacked = work + "/unpacked";
    tool->totals.compress_seconds += run_tool(tool->compress, path, packed);
    tool->totals.decompress_seconds += run_tool(tool->decompress, packed, unpacked);
    uint64_t original = fs::file_size(path), compressed = fs::file_size(packed);
    tool->totals.original += original;
    tool->totals.compressed += compressed;
    tool->totals.compressed_by_kind[kind] += compressed;
    if (!same_contents(path, unpacked)) {
        fprintf(stderr, "%s round trip differs on %s\n", tool->name, path.c_str());
        exit(1);
    }
}

static double mb(uint64_t bytes) { return bytes / 1e6; }

// The files the comparison is summed over: all, and those of more than one
// block, the only ones whose blocks can be sorted on several cores at once.
enum FileSet { ALL_FILES, MULTI_BLOCK_FILES, FILE_SETS };

// One command line per file, the file's path appended; its best round.
struct Contender {
    const char* name;
    std::vector<std::string> argv;
    std::string input;  // stdin: "" for the file itself
    double best_cpu[FILE_SETS] = {1e30, 1e30};
    double best_wall[FILE_SETS] = {1e30, 1e30};
};

// One table of best rounds, each against bzip2 -9's over the same files.
static void print_create_table(const std::vector<Contender>& rows, const Contender& bzip2,
                               FileSet set) {
    printf("\n| Tool | CPU s | Wall s | CPU vs bzip2 -9 | Wall-clock speed vs bzip2 -9 |\n");
    printf("|---|---:|---:|---:|---:|\n");
    for (const Contender& c : rows)
        printf("| %s | %.2f | %.2f | %.2f | %.2f |\n", c.name, c.best_cpu[set], c.best_wall[set],
               c.best_cpu[set] / bzip2.best_cpu[set], bzip2.best_wall[set] / c.best_wall[set]);
}

// `quorvane create` against bzip2 -9, round by round, file by file, so that
// both meet the same machine; prints the best round of each.
static void compare_create(const std::vector<std::pair<std::string, std::string>>& files,
                           const std::string& corpus, const std::string& quorvane,
                           const std::string& work) {
    const int ROUNDS = 3;
    std::string archive = work + "/create.qv", packed = work + "/packed";
    std::vector<Contender> contenders = {
        {"quorvane create", {quorvane, "create", "-o", archive, "--payload-only"}, "/dev/null"},
        {"quorvane create -j 1",
         {quorvane, "create", "-j", "1", "-o", archive, "--payload-only"},
         "/dev/null"},
        {"bzip2 -9", {"bzip2", "-9", "-c"}, ""},
    };
    // The way an archive is made: the whole corpus in one run, which keeps
    // every core busy with several small files at once.
    std::vector<Contender> whole = {
        {"quorvane create CORPUS",
         {quorvane, "create", "-o", archive, "--payload-only", corpus},
         "/dev/null"},
        {"quorvane create -j 1 CORPUS",
         {quorvane, "create", "-j", "1", "-o", archive, "--payload-only", corpus},
         "/dev/null"},
    };
    size_t count[FILE_SETS] = {0, 0};
    uint64_t bytes[FILE_SETS] = {0, 0};
    for (const auto& f : files) {
        uint64_t size = fs::file_size(f.second);
        for (int set = 0; set < FILE_SETS; set++) {
            if (set == MULTI_BLOCK_FILES && size <= BS_BUF_SIZE) continue;
            count[set]++;
            bytes[set] += size;
        }
    }
    for (int round = 0; round < ROUNDS; round++) {
        std::vector<std::vector<double>> cpu(FILE_SETS, std::vector<double>(contenders.size())),
            wall = cpu;
        for (const auto& f : files) {
            bool multi_block = fs::file_size(f.second) > BS_BUF_SIZE;
            for (size_t i = 0; i < contenders.size(); i++) {
                Contender& c = contenders[i];
                std::vector<std::string> argv = c.argv;
                if (!c.input.empty()) argv.push_back(f.second);
                double seconds = 0;
                double used = run_tool(argv, c.input.empty() ? f.second : c.input,
                                       c.input.empty() ? packed : work + "/create.out", &seconds);
                for (int set = 0; set < FILE_SETS; set++) {
                    if (set == MULTI_BLOCK_FILES && !multi_block) continue;
                    cpu[set][i] += used;
                    wall[set][i] += seconds;
                }
            }
        }
        for (int set = 0; set < FILE_SETS; set++) {
            for (size_t i = 0; i < contenders.size(); i++) {
                contenders[i].best_cpu[set] = std::min(contenders[i].best_cpu[set], cpu[set][i]);
                contenders[i].best_wall[set] = std::min(contenders[i].best_wall[set], wall[set][i]);
            }
        }
        for (Contender& c : whole) {
            double seconds = 0;
            double used = run_tool(c.argv, c.input, work + "/create.out", &seconds);
            c.best_cpu[ALL_FILES] = std::min(c.best_cpu[ALL_FILES], used);
            c.best_wall[ALL_FILES] = std::min(c.best_wall[ALL_FILES], seconds);
        }
        fprintf(stderr, "create round %d of %d done\n", round + 1, ROUNDS);
    }
    const Contender& bzip2 = contenders.back();
    const char* set_names[FILE_SETS] = {"all files", "files above 1 MiB (more than one block)"};
    printf(
        "\nquorvane create --payload-only against bzip2 -9, one process per file, best of %d "
        "rounds, %u cores:\n",
        ROUNDS, std::thread::hardware_concurrency());
    for (int set = 0; set < FILE_SETS; set++) {
        printf("\n%s: %zu files, %.1f MB\n", set_names[set], count[set], mb(bytes[set]));
        print_create_table(contenders, bzip2, (FileSet)set);
    }
    printf("\nOne archive of the whole corpus, against bzip2 -9 on every file:\n");
    print_create_table(whole, bzip2, ALL_FILES);
    printf(
        "\nAll files, one process per file: CPU time, quorvane create / bzip2 -9: %.2f; wall "
        "clock, bzip2 -9 / quorvane create: %.2f\n",
        contenders[0].best_cpu[ALL_FILES] / bzip2.best_cpu[ALL_FILES],
        bzip2.best_wall[ALL_FILES] / contenders[0].best_wall[ALL_FILES]);
    printf(
        "One archive of the corpus: CPU time, quorvane create / bzip2 -9: %.2f; wall clock, "
        "bzip2 -9 / quorvane create: %.2f\n",
        whole[0].best_cpu[ALL_FILES] / bzip2.best_cpu[ALL_FILES],
        bzip2.best_wall[ALL_FILES] / whole[0].best_wall[ALL_FILES]);
}

// Our writer and reader in this process against bzip2, xz and zstd: sizes,
// CPU speeds, and the speed of every decode stage.
static void compare_codecs(const std::vector<std::pair<std::string, std::string>>& files,
                           const std::string& corpus, const std::string& work) {
    std::map<std::string, uint64_t> original_by_kind;
    for (const auto& f : files) original_by_kind[f.first] += fs::file_size(f.second);

    Totals ours;
    StageTotals stages;
    Tool others[] = {
        {"bzip2 -9", {"bzip2", "-9", "-c"}, {"bzip2", "-d", "-c"}, {}},
        {"xz -6", {"xz", "-6", "-c", "-T1"}, {"xz", "-d", "-c"}, {}},
        {"zstd -19", {"zstd", "-19", "-c", "-q"}, {"zstd", "-d", "-c", "-q"}, {}},
    };
    for (size_t i = 0; i < files.size(); i++) {
        run_ours(files[i].second, files[i].first, work, &ours, &stages);
        for (Tool& tool : others) run_other(files[i].second, files[i].first, work, &tool);
        if (i % 100 == 99) fprintf(stderr, "%zu of %zu files\n", i + 1, files.size());
    }

    printf("Corpus: %zu files, %.1f MB (%s); speeds in MB per CPU second\n\n", files.size(),
           mb(ours.original), corpus.c_str());
    printf(
        "| Codec | Stored MB | Stored/original | Size vs ours | Compress MB/s | "
        "Decompress MB/s | Compress speed vs ours | Decompress speed vs ours |\n");
    printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
    auto row = [&](const char* name, const Totals& t) {
        double cs = mb(t.original) / t.compress_seconds, ds = mb(t.original) / t.decompress_seconds;
        double our_cs = mb(ours.original) / ours.compress_seconds;
        double our_ds = mb(ours.original) / ours.decompress_seconds;
        printf("| %s | %.2f | %.3f | %.3f | %.2f | %.2f | %.2f | %.2f |\n", name, mb(t.compressed),
               (double)t.compressed / t.original, (double)t.compressed / ours.compressed, cs, ds,
               cs / our_cs, ds / our_ds);
    };
    row("quorvane (payload)", ours);
    for (const Tool& tool : others) row(tool.name, tool.totals);

    printf("\nStored/original by kind of file:\n\n| Kind | Original MB | quorvane |");
    for (const Tool& tool : others) printf(" %s |", tool.name);
    printf("\n|---|---:|---:|---:|---:|---:|\n");
    for (const auto& k : original_by_kind) {
        printf("| %s | %.2f | %.3f |", k.first.c_str(), mb(k.second),
               (double)ours.compressed_by_kind[k.first] / k.second);
        for (const Tool& tool : others)
            printf(" %.3f |", (double)tool.totals.compressed_by_kind.at(k.first) / k.second);
        printf("\n");
    }

    printf(
        "\nDecode throughput (MB of output per second):\n\n| Step | Output MB | Seconds | "
        "MB/s |\n|---|---:|---:|---:|\n");
    const char* names[5] = {"copy into work file", "stage 1 range decoder", "stage 2 move-to-front",
                            "stage 3 block sorting", "stage 4 run-length"};
    for (int i = 0; i < 5; i++)
        printf("| %s | %.2f | %.2f | %.2f |\n", names[i], mb(stages.output[i]), stages.seconds[i],
               mb(stages.output[i]) / stages.seconds[i]);
    printf("| whole chain (original bytes) | %.2f | %.2f | %.2f |\n", mb(ours.original),
           ours.decompress_seconds, mb(ours.original) / ours.decompress_seconds);
    for (const Tool& tool : others)
        printf("| %s -d | %.2f | %.2f | %.2f |\n", tool.name, mb(tool.totals.original),
               tool.totals.decompress_seconds,
               mb(tool.totals.original) / tool.totals.decompress_seconds);
}

int main(int argc, char** argv) {
    bool create_only = argc > 1 && strcmp(argv[1], "--create-only") == 0;
    if (create_only) {
        argc--;
        argv++;
    }
    if (argc != 4 && (create_only || argc != 3)) {
        fprintf(stderr,
                "usage: compression_bench [--create-only] CORPUS_DIR WORK_DIR [QUORVANE]\n");
        return 2;
    }
    std::string corpus = argv[1], work = argv[2];
    fs::create_directories(work);
    RC_BUF_SIZE = RcBufSizeForMemory((uint64_t)sysconf(_SC_PHYS_PAGES) * sysconf(_SC_PAGESIZE));

    std::vector<std::pair<std::string, std::string>> files;  // kind, path
    for (const auto& entry : fs::recursive_directory_iterator(corpus)) {
        if (!entry.is_regular_file()) continue;
        std::string kind = entry.path().parent_path().filename().string();
        files.push_back({kind, entry.path().string()});
    }
    std::sort(files.begin(), files.end());
    if (!create_only) compare_codecs(files, corpus, work);
    if (argc == 4) compare_create(files, corpus, argv[3], work);
    fs::remove_all(work);
    return 0;
}
