// Replays the seed corpus and the crash reproducers through the entry points
// of every fuzz target, as an ordinary test program:
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

// The targets' entry points, renamed per target by the build (an optional
// initialiser is linked weakly), listed in fuzz_entries.inc.
#define FUZZ_ENTRY(name)                                               \
    extern "C" int FuzzEntry_##name(const uint8_t* data, size_t size); \
    extern "C" __attribute__((weak)) int FuzzInitialize_##name(int* argc, char*** argv);
#include "fuzz_entries.inc"
#undef FUZZ_ENTRY

namespace {

typedef int (*Driver)(const uint8_t*, size_t);
typedef int (*Initializer)(int*, char***);
struct Target {
    const char* name;
    Driver driver;
    Initializer initialize;
};
#define FUZZ_ENTRY(name) {#name, FuzzEntry_##name, FuzzInitialize_##name},
const Target kTargets[] = {
#include "fuzz_entries.inc"
};
#undef FUZZ_ENTRY

// Runs a target's initialiser, if it has one, before its first input.
Driver Prepared(const Target& target, int* argc, char*** argv) {
    if (target.initialize) target.initialize(argc, argv);
    return target.driver;
}

// A corpus folder needs a target to be replayed by; one without is an error,
// not a silent gap.
bool EveryCorpusHasATarget(const std::string& corpus_root) {
    DIR* dir = opendir(corpus_root.c_str());
    if (!dir) return false;
    bool ok = true;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        bool known = false;
        for (const Target& t : kTargets) known = known || strcmp(t.name, e->d_name) == 0;
        if (!known) {
            fprintf(stderr, "fuzz_replay: corpus/%s belongs to no target\n", e->d_name);
            ok = false;
        }
    }
    closedir(dir);
    return ok;
}

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
            Driver driver = Prepared(t, &argc, &argv);
            std::vector<uint8_t> bytes;
            for (int i = 2; i < argc; i++) {
                if (!ReadFile(argv[i], &bytes)) {
                    fprintf(stderr, "fuzz_replay: cannot read %s\n", argv[i]);
                    return 1;
                }
                driver(bytes.data(), bytes.size());
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
    if (!EveryCorpusHasATarget(root + "/corpus")) return 1;
    int total = 0;
    for (const Target& t : kTargets) {
        Driver driver = Prepared(t, &argc, &argv);
        int corpus = ReplayFolder(root + "/corpus/" + t.name, driver);
        int regressions = ReplayFolder(root + "/regressions/" + t.name, driver);
        printf("fuzz_replay: %-8s %3d corpus files, %d reproducers\n", t.name, corpus, regressions);
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
