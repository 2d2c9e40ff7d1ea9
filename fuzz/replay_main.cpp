// Replays the seed corpus and the crash reproducers through the fuzz drivers,
// as an ordinary test program:
//   fuzz_replay <fuzz folder>            every file of corpus/<target>/ and regressions/<target>/
//   fuzz_replay --sweep                  the bit-flip sweep over the fixed stored entries
//   fuzz_replay <target> <file>...       the given files through one target
// Large-file interfaces also in 32-bit builds: readdir fails on big inode numbers without them.
#define _FILE_OFFSET_BITS 64
#include <dirent.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz/harness.h"

namespace {

typedef void (*Driver)(const uint8_t*, size_t);
struct Target {
    const char* name;
    Driver driver;
};
const Target kTargets[] = {{"stage1", FuzzStage1},
                           {"stage2", FuzzStage2},
                           {"stage3", FuzzStage3},
                           {"stage4", FuzzStage4},
                           {"chain", FuzzChain},
                           {"stage1_memory", FuzzStage1Memory},
                           {"stage2_memory", FuzzStage2Memory},
                           {"stage3_memory", FuzzStage3Memory},
                           {"stage4_memory", FuzzStage4Memory}};

bool ReadFile(const std::string& path, std::vector<uint8_t>* bytes) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    bytes->clear();
    uint8_t chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, f)) > 0)
        bytes->insert(bytes->end(), chunk, chunk + got);
    fclose(f);
    return true;
}

// Runs every regular file of `folder` through `driver`; a missing folder has none.
int ReplayFolder(const std::string& folder, Driver driver) {
    DIR* dir = opendir(folder.c_str());
    if (!dir) return 0;
    std::vector<std::string> names;
    while (dirent* e = readdir(dir))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(dir);
    int count = 0;
    std::vector<uint8_t> bytes;
    for (const std::string& name : names) {
        if (!ReadFile(folder + "/" + name, &bytes)) continue;
        driver(bytes.data(), bytes.size());
        count++;
    }
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--sweep") == 0) {
        uint32_t flips = 0;
        for (const SweepEntry& e : SweepEntries()) {
            std::vector<uint8_t> out;
            if (DecodeChain(e.stored.data(), e.stored.size(), e.fNewType, &out) != 1 ||
                out != e.original) {
                fprintf(stderr, "fuzz_replay: a sweep entry does not decode\n");
                return 1;
            }
            SweepCount c = BitFlipSweep(e.stored, e.fNewType);
            flips += c.decoded + c.damaged;
        }
        FuzzCleanup();
        printf("fuzz_replay: %u flipped entries, each with a clear result\n", flips);
        return 0;
    }
    if (argc >= 3) {
        for (const Target& t : kTargets) {
            if (strcmp(argv[1], t.name) != 0) continue;
            std::vector<uint8_t> bytes;
            for (int i = 2; i < argc; i++) {
                if (!ReadFile(argv[i], &bytes)) {
                    fprintf(stderr, "fuzz_replay: cannot read %s\n", argv[i]);
                    return 1;
                }
                t.driver(bytes.data(), bytes.size());
            }
            FuzzCleanup();
            return 0;
        }
        fprintf(stderr, "fuzz_replay: unknown target %s\n", argv[1]);
        return 1;
    }
    if (argc != 2) {
        fprintf(stderr, "usage: fuzz_replay <fuzz folder> | --sweep | <target> <file>...\n");
        return 2;
    }
    std::string root = argv[1];
    int total = 0;
    for (const Target& t : kTargets) {
        int corpus = ReplayFolder(root + "/corpus/" + t.name, t.driver);
        int regressions = ReplayFolder(root + "/regressions/" + t.name, t.driver);
        printf("fuzz_replay: %-13s %3d corpus files, %d reproducers\n", t.name, corpus,
               regressions);
        if (corpus == 0) {
            fprintf(stderr, "fuzz_replay: no corpus for %s\n", t.name);
            return 1;
        }
        total += corpus + regressions;
    }
    FuzzCleanup();
    printf("fuzz_replay: %d inputs replayed\n", total);
    return 0;
}
