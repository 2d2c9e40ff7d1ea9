// The whole-archive paths of libquorvane against bzip2 -9 and xz -6 on the
// same corpus: creating an archive of the corpus folder, extracting it into
// a folder, and decoding every entry of it held in memory; the tools compress
// and decompress one tar stream of the same folder.
//
// Times are CPU seconds (user + system, every thread; the tools' through
// child-process accounting) and wall-clock seconds, the best of ROUNDS
// rounds each, so that the figures stay comparable on a busy machine.
//
//   library_bench CORPUS_DIR WORK_DIR [ROUNDS]
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <quorvane.h>

#include "bench/bench_timing.h"

namespace fs = std::filesystem;

namespace {

int Discard(void*, const void*, size_t) { return 0; }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: library_bench CORPUS_DIR WORK_DIR [ROUNDS]\n");
        return 2;
    }
    std::string corpus = fs::absolute(argv[1]).string(), work = fs::absolute(argv[2]).string();
    int rounds = argc > 3 ? atoi(argv[3]) : 3;
    fs::create_directories(work);
    std::string archive = work + "/corpus.qv", tar = work + "/corpus.tar";
    std::string parent = fs::path(corpus).parent_path().string();
    std::string name = fs::path(corpus).filename().string();
    Shell("tar -C '" + parent + "' -cf '" + tar + "' '" + name + "'");
    uint64_t original = fs::file_size(tar);

    Timing create = Best(rounds, [&] {
        qv_create_options options = {};
        options.struct_size = sizeof options;
        options.payload_only = 1;
        qv_writer* writer = nullptr;
        qv_error error;
        Must(qv_writer_open(archive.c_str(), &options, &writer, &error), error);
        Must(qv_writer_add_path(writer, corpus.c_str(), &error), error);
        Must(qv_writer_finish(writer, &error), error);
        qv_writer_free(writer);
    });
    Timing extract = Best(rounds, [&] {
        fs::remove_all(work + "/out");
        qv_archive* opened = nullptr;
        qv_error error;
        Must(qv_open_path(archive.c_str(), &opened, &error), error);
        Must(qv_extract(opened, (work + "/out").c_str(), nullptr, &error), error);
        qv_close(opened);
    });
    std::ifstream in(archive, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Timing decode = Best(rounds, [&] {
        qv_archive* opened = nullptr;
        qv_error error;
        Must(qv_open_memory(bytes.data(), bytes.size(), &opened, &error), error);
        for (size_t i = 0; i < qv_entry_count(opened); i++)
            Must(qv_decode(opened, i, Discard, nullptr, nullptr, nullptr, &error), error);
        qv_close(opened);
    });

    struct Tool {
        const char* compress_name;
        const char* decompress_name;
        std::string compress, decompress;
        Timing packed, unpacked;
        uint64_t size;
    };
    std::vector<Tool> tools = {
        {"bzip2 -9", "bzip2 -d, tar -x", "bzip2 -9 -c", "bzip2 -d -c", {}, {}, 0},
        {"xz -6", "xz -d, tar -x", "xz -6 -T1 -c", "xz -d -T1 -c", {}, {}, 0},
    };
    for (Tool& tool : tools) {
        std::string packed = work + "/corpus.tar.packed";
        tool.packed =
            Best(rounds, [&] { Shell(tool.compress + " <'" + tar + "' >'" + packed + "'"); });
        tool.unpacked = Best(rounds, [&] {
            fs::remove_all(work + "/tool-out");
            fs::create_directories(work + "/tool-out");
            Shell(tool.decompress + " <'" + packed + "' | tar -C '" + work + "/tool-out' -xf -");
        });
        tool.size = fs::file_size(packed);
    }

    const Tool& bzip2 = tools[0];
    printf("Corpus: %s, %.1f MB as tar; %d rounds, best of each. Ratios: time / bzip2's.\n\n",
           corpus.c_str(), (double)original / 1e6, rounds);
    printf("| Run | Stored MB | CPU s | Wall s | CPU vs bzip2 | Wall vs bzip2 |\n");
    printf("|---|---:|---:|---:|---:|---:|\n");
    auto row = [&](const char* what, double mb, const Timing& t, const Timing& reference) {
        printf("| %s | %s | %.2f | %.2f | %.2f | %.2f |\n", what,
               mb > 0 ? std::to_string(mb).substr(0, 5).c_str() : "", t.cpu, t.wall,
               t.cpu / reference.cpu, t.wall / reference.wall);
    };
    row("libquorvane create", (double)bytes.size() / 1e6, create, bzip2.packed);
    for (const Tool& tool : tools)
        row(tool.compress_name, (double)tool.size / 1e6, tool.packed, bzip2.packed);
    row("libquorvane extract", 0, extract, bzip2.unpacked);
    row("libquorvane decode in memory", 0, decode, bzip2.unpacked);
    for (const Tool& tool : tools) row(tool.decompress_name, 0, tool.unpacked, bzip2.unpacked);
    fs::remove_all(work + "/out");
    fs::remove_all(work + "/tool-out");
    return 0;
}
