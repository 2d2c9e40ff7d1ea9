// Archives of many small files: `quorvane create`, `test` and `extract` of
// each tree of a corpus, run as a user runs them, against `tar cjf`,
// `bzip2 -d` of the same tree as one .tar.bz2, and `tar xjf`; then the fixed
// cost of one entry in libquorvane (an empty one and one of 4 KiB).
//
// Every round runs every command once, in turn, so that the machine's drift
// reaches them alike; each command keeps its best CPU time (user + system of
// every thread, through child-process accounting) and its best wall-clock
// time over the rounds.
//
//   many_files_bench CORPUS_DIR WORK_DIR QUORVANE [ROUNDS]
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <quorvane.h>

#include "bench/bench_timing.h"

namespace fs = std::filesystem;

namespace {

std::string Quote(const std::string& text) { return "'" + text + "'"; }

struct Command {
    const char* name;
    std::string line;
    std::string before;  // run before each round of it, untimed
    Timing best;
};

// One tree: our three commands and the three of tar and bzip2.
void CompareTree(const std::string& tree, const std::string& work, const std::string& quorvane,
                 int rounds) {
    std::string parent = fs::path(tree).parent_path().string();
    std::string name = fs::path(tree).filename().string();
    std::string archive = work + "/tree.qv", packed = work + "/tree.tar.bz2";
    std::string ours = work + "/ours", theirs = work + "/theirs";
    std::vector<Command> commands = {
        {"quorvane create",
         quorvane + " create -q --payload-only -o " + Quote(archive) + " " + Quote(tree),
         "",
         {}},
        {"tar cjf",
         "tar -C " + Quote(parent) + " -cjf " + Quote(packed) + " " + Quote(name),
         "",
         {}},
        {"quorvane test", quorvane + " test -q " + Quote(archive), "", {}},
        {"bzip2 -d of the .tar.bz2", "bzip2 -d -c " + Quote(packed) + " >/dev/null", "", {}},
        {"quorvane extract",
         quorvane + " extract -q " + Quote(archive) + " -d " + Quote(ours),
         "rm -rf " + Quote(ours),
         {}},
        {"tar xjf",
         "tar -C " + Quote(theirs) + " -xjf " + Quote(packed),
         "rm -rf " + Quote(theirs) + " && mkdir " + Quote(theirs),
         {}},
    };
    for (int round = 0; round < rounds; round++) {
        for (Command& command : commands) {
            if (!command.before.empty()) Shell(command.before);
            Measure(&command.best, [&] { Shell(command.line); });
        }
    }
    size_t files = 0;
    uint64_t bytes = 0;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(tree)) {
        if (!entry.is_regular_file()) continue;
        files++;
        bytes += entry.file_size();
    }
    Shell("diff -r " + Quote(tree) + " " + Quote(ours + "/" + name));
    printf("\n%s: %zu files, %.1f MB; archive %.2f MB, .tar.bz2 %.2f MB\n\n", tree.c_str(), files,
           (double)bytes / 1e6, (double)fs::file_size(archive) / 1e6,
           (double)fs::file_size(packed) / 1e6);
    printf("| Run | CPU s | Wall s | Wall-clock speed vs theirs | CPU vs theirs |\n");
    printf("|---|---:|---:|---:|---:|\n");
    for (size_t i = 0; i < commands.size(); i += 2) {
        const Timing& us = commands[i].best;
        const Timing& them = commands[i + 1].best;
        printf("| %s | %.3f | %.3f | %.2f | %.2f |\n", commands[i].name, us.cpu, us.wall,
               them.wall / us.wall, us.cpu / them.cpu);
        printf("| %s | %.3f | %.3f | 1 | 1 |\n", commands[i + 1].name, them.cpu, them.wall);
    }
    Shell("rm -rf " + Quote(ours) + " " + Quote(theirs));
}

// An archive in memory of `count` files of `size` bytes of text each.
std::vector<uint8_t> ArchiveOfFiles(const std::string& work, size_t count, size_t size) {
    std::string text;
    for (int line = 0; text.size() < size; line++)
        text += "entry line " + std::to_string(line * 7919 % 1000) + " of a small file\n";
    text.resize(size);
    std::string path = work + "/entries.qv";
    qv_create_options options = {};
    options.struct_size = sizeof options;
    options.payload_only = 1;
    qv_writer* writer = nullptr;
    qv_error error;
    Must(qv_writer_open(path.c_str(), &options, &writer, &error), error);
    for (size_t i = 0; i < count; i++) {
        std::string name = "d" + std::to_string(i / 100) + "/f" + std::to_string(i);
        Must(qv_writer_add_memory(writer, name.c_str(), text.data(), text.size(), 0, 0, &error),
             error);
    }
    Must(qv_writer_finish(writer, &error), error);
    qv_writer_free(writer);
    FILE* file = fopen(path.c_str(), "rb");
    std::vector<uint8_t> bytes(fs::file_size(path));
    if (!file || fread(bytes.data(), 1, bytes.size(), file) != bytes.size()) exit(1);
    fclose(file);
    fs::remove(path);
    return bytes;
}

// Microseconds per entry of qv_test and qv_extract, the best of `rounds`.
void EntryCost(const std::string& work, int rounds) {
    const size_t count = 4000;
    printf("\nFixed cost per entry, libquorvane, %zu entries of each size, best of %d:\n\n", count,
           rounds);
    printf(
        "| Entry | test, 1 thread | test, one per core | extract, 1 thread | extract, one per "
        "core |\n");
    printf("|---|---:|---:|---:|---:|\n");
    for (size_t size : {(size_t)0, (size_t)4096}) {
        std::vector<uint8_t> bytes = ArchiveOfFiles(work, count, size);
        qv_archive* archive = nullptr;
        qv_error error;
        Must(qv_open_memory(bytes.data(), bytes.size(), &archive, &error), error);
        Timing test[2], extract[2];
        std::string out = work + "/entries";
        for (int round = 0; round < rounds; round++) {
            for (unsigned threads : {1u, 0u}) {
                Measure(&test[threads ? 0 : 1], [&] {
                    qv_test_options options = {};
                    options.struct_size = sizeof options;
                    options.struct_size = sizeof options;
                    options.threads = threads;
                    Must(qv_test(archive, &options, &error), error);
                });
                fs::remove_all(out);
                Measure(&extract[threads ? 0 : 1], [&] {
                    qv_extract_options options = {};
                    options.struct_size = sizeof options;
                    options.threads = threads;
                    Must(qv_extract(archive, out.c_str(), &options, &error), error);
                });
            }
        }
        fs::remove_all(out);
        qv_close(archive);
        double scale = 1e6 / (double)count;
        printf("| %s | %.1f µs | %.1f µs | %.1f µs | %.1f µs |\n", size ? "4 KiB" : "empty",
               test[0].wall * scale, test[1].wall * scale, extract[0].wall * scale,
               extract[1].wall * scale);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: many_files_bench CORPUS_DIR WORK_DIR QUORVANE [ROUNDS]\n");
        return 2;
    }
    std::string corpus = fs::absolute(argv[1]).string(), work = fs::absolute(argv[2]).string();
    std::string quorvane = fs::absolute(argv[3]).string();
    int rounds = argc > 4 ? atoi(argv[4]) : 5;
    fs::create_directories(work);
    printf(
        "%d rounds, best of each; speed vs theirs: their wall-clock time / ours; CPU vs "
        "theirs: our CPU time / theirs.\n",
        rounds);
    std::vector<std::string> trees;
    for (const fs::directory_entry& entry : fs::directory_iterator(corpus))
        if (entry.is_directory()) trees.push_back(entry.path().string());
    std::sort(trees.begin(), trees.end());
    for (const std::string& tree : trees) CompareTree(tree, work, quorvane, rounds);
    EntryCost(work, rounds);
    return 0;
}
