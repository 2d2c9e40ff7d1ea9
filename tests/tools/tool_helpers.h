// Files, trees, crafted payloads and program runs shared by the end-to-end
// tests of the quorvane tool, native and under Wine.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "payload/records.h"

namespace tool_test {

typedef std::vector<uint8_t> Bytes;

inline std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

inline void WriteFile(const std::string& path, const Bytes& bytes) {
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
}

inline void WriteText(const std::string& path, const std::string& text) {
    WriteFile(path, Bytes(text.begin(), text.end()));
}

inline Bytes ReadFile(const std::string& path) {
    Bytes bytes;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) return bytes;
    uint8_t buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.insert(bytes.end(), buffer, buffer + got);
    fclose(file);
    return bytes;
}

inline bool Exists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

inline std::vector<std::string> List(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (!dir) return names;
    while (struct dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

inline void RemoveTree(const std::string& path) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) return;
    if (S_ISDIR(info.st_mode)) {
        chmod(path.c_str(), 0700);
        for (const std::string& name : List(path)) RemoveTree(path + "/" + name);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}
// Runs `work` while another thread swaps `folder` for a link to `target` and
// back, again and again; answers what `work` answered.
template <typename Work>
auto WhileSwappedForLink(const std::string& folder, const std::string& target, Work work) {
    std::string kept = folder + ".real";
    std::atomic<bool> done(false);
    std::thread racer([&] {
        while (!done.load()) {
            if (rename(folder.c_str(), kept.c_str()) != 0) {
                usleep(100);
                continue;
            }
            if (symlink(target.c_str(), folder.c_str()) == 0) {
                usleep(50);
                unlink(folder.c_str());
            }
            rename(kept.c_str(), folder.c_str());
            usleep(200);
        }
    });
    auto result = work();
    done = true;
    racer.join();
    return result;
}

// Pseudo-random bytes that are the same in every run.
inline Bytes Noise(size_t size, uint32_t seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; i++) {
        seed = seed * 1103515245u + 12345u;
        bytes[i] = (uint8_t)(seed >> 16);
    }
    return bytes;
}

// Text with long repeats, larger than one 1 MiB block.
inline Bytes Text(size_t size) {
    std::string line;
    Bytes bytes;
    for (int i = 0; bytes.size() < size; i++) {
        line = "行 " + std::to_string(i) + ": いろはにほへと ちりぬるを " +
               std::string((size_t)(i % 7) * 3, 'x') + "\n";
        bytes.insert(bytes.end(), line.begin(), line.end());
    }
    bytes.resize(size);
    return bytes;
}

inline struct timespec At(time_t seconds, long nanoseconds) {
    struct timespec time;
    time.tv_sec = seconds;
    time.tv_nsec = nanoseconds;
    return time;
}

inline void SetTimes(const std::string& path, struct timespec access, struct timespec write) {
    struct timespec times[2] = {access, write};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

struct Outcome {
    int code;
    std::string out, err;
};

// Runs `program` with `arguments` (both already quoted for the shell), stdin
// from /dev/null; stdout and stderr are caught through files in `scratch`.
inline Outcome RunProgram(const std::string& program, const std::string& arguments,
                          const std::string& scratch) {
    std::string out_file = scratch + "/.stdout", err_file = scratch + "/.stderr";
    std::string command =
        program + " " + arguments + " </dev/null >" + Quote(out_file) + " 2>" + Quote(err_file);
    int status = system(command.c_str());
    Outcome run;
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    Bytes out = ReadFile(out_file), err = ReadFile(err_file);
    run.out.assign(out.begin(), out.end());
    run.err.assign(err.begin(), err.end());
    unlink(out_file.c_str());
    unlink(err_file.c_str());
    return run;
}

// One record of a crafted payload.
struct Crafted {
    std::string name;  // code page 932 bytes
    uint16_t attribute_word;
    uint32_t original_size;
    Bytes stored;
};

inline void WritePayload(const std::string& path, const std::vector<Crafted>& records) {
    FileHandle file = CreateReadWrite(path.c_str());
    ASSERT_NE(file, NO_FILE);
    for (const Crafted& r : records) {
        EntryRecord record;
        memset(&record, 0, sizeof record);
        record.nameLength = (uint8_t)r.name.size();
        memcpy(record.name, r.name.data(), r.name.size());
        record.creationTime = record.lastAccessTime = record.lastWriteTime =
            130000000000000000ull;  // 2012-12-15
        record.attributeWord = r.attribute_word;
        record.originalSize = r.original_size;
        record.storedSize = (uint32_t)r.stored.size();
        ASSERT_TRUE(WriteEntryRecord(file, &record).ok());
        if (!r.stored.empty()) WriteBytes(file, r.stored.data(), (uint32_t)r.stored.size());
    }
    CloseFile(file);
}

// Where the stored bytes of the entry `name` begin in a bare payload, and how many.
inline bool FindStored(const std::string& path, const std::string& name, int64_t* at,
                       uint32_t* size) {
    FileHandle file;
    OpenForReading(path.c_str(), &file);
    if (file == NO_FILE) return false;
    EntryRecord record;
    bool found = false, at_end = false;
    while (!found && ReadEntryRecord(file, &record, &at_end).cause == CAUSE_OK && !at_end) {
        if (std::string(record.name, record.nameLength) == name) {
            *at = SetFilePointer64(file, 0, FILE_CURRENT);
            *size = record.storedSize;
            found = true;
        }
        SetFilePointer64(file, record.storedSize, FILE_CURRENT);
    }
    CloseFile(file);
    return found;
}

// The 22 stored bytes that decode, under either rescale rule, to 20 bytes.
const Bytes kChainStored = {0x38, 0x23, 0x6B, 0xC4, 0x65, 0x88, 0x27, 0x35, 0x88, 0x00, 0x09,
                            0x3C, 0x3D, 0x24, 0xF7, 0xB8, 0x46, 0xF0, 0xAB, 0x86, 0xEC, 0x00};
const char* const kChainText = "abracadabra aaaaaaaa";

// A scratch folder and a tree of real files with Japanese names in it: the
// names hold double-byte characters whose trail byte is a backslash, one file
// is larger than a block, one empty, one read-only, one folder empty.
class JapaneseTreeTest : public ::testing::Test {
protected:
    std::string Path(const std::string& relative) { return scratch_ + "/" + relative; }

    // A tree of real files with Japanese names and chosen times.
    void MakeTree() {
        std::string root = Path("素材");
        mkdir(root.c_str(), 0755);
        mkdir((root + "/画像").c_str(), 0755);
        mkdir((root + "/画像/アイコン").c_str(), 0755);
        mkdir((root + "/空のフォルダ").c_str(), 0755);
        WriteText(root + "/読んでください.txt", "これはテストです。\nquorvane\n");
        WriteFile(root + "/画像/雑音.bin", Noise(200000, 7));
        WriteFile(root + "/画像/アイコン/表示.txt", Text(1100000));  // more than one block
        WriteFile(root + "/画像/アイコン/ソース.c", Text(3000));     // 0x83 0x5C in its name
        WriteFile(root + "/空.dat", Bytes());
        WriteText(root + "/読み取り専用.txt", "変更しないでください\n");
        chmod((root + "/読み取り専用.txt").c_str(), 0444);

        files_ = {"読んでください.txt",     "画像/雑音.bin", "画像/アイコン/表示.txt",
                  "画像/アイコン/ソース.c", "空.dat",        "読み取り専用.txt"};
        folders_ = {"画像", "画像/アイコン", "空のフォルダ"};
        SetTreeTimes();
    }

    // Distinct times, to the 100 ns that an archive keeps.
    void SetTreeTimes() {
        std::string root = Path("素材");
        long n = 0;
        for (const std::string& file : files_) {
            SetTimes(root + "/" + file, At(1300000000 + n, 987654300),
                     At(1000000000 + n * 1000, 123456700));
            n++;
        }
        for (const std::string& folder : folders_) {
            SetTimes(root + "/" + folder, At(1400000000 + n, 500), At(1100000000 + n, 600));
            n++;
        }
        SetTimes(root, At(1400000000, 0), At(1200000000, 0));
    }

    // Files and folders of the tree below `extracted` against the originals.
    void ExpectSameTree(const std::string& extracted) {
        std::string root = Path("素材");
        long n = 0;
        for (const std::string& file : files_) {
            struct stat original, copy;
            ASSERT_EQ(stat((root + "/" + file).c_str(), &original), 0);
            ASSERT_EQ(stat((extracted + "/" + file).c_str(), &copy), 0) << file;
            EXPECT_EQ(ReadFile(extracted + "/" + file), ReadFile(root + "/" + file)) << file;
            EXPECT_EQ(copy.st_mtim.tv_sec, 1000000000 + n * 1000) << file;
            EXPECT_EQ(copy.st_mtim.tv_nsec, 123456700) << file;
            EXPECT_EQ(copy.st_atim.tv_sec, 1300000000 + n) << file;
            EXPECT_EQ(copy.st_atim.tv_nsec, 987654300) << file;
            EXPECT_EQ(copy.st_mode & 0222, original.st_mode & 0222) << file;
            n++;
        }
        for (const std::string& folder : folders_) {
            struct stat copy;
            ASSERT_EQ(stat((extracted + "/" + folder).c_str(), &copy), 0) << folder;
            EXPECT_TRUE(S_ISDIR(copy.st_mode));
            EXPECT_EQ(copy.st_mtim.tv_sec, 1100000000 + n) << folder;
            n++;
        }
        EXPECT_EQ(List(extracted + "/空のフォルダ"), std::vector<std::string>());
    }

    std::string scratch_;
    std::vector<std::string> files_, folders_;
};

#ifdef QUORVANE_BIN
// The program under test: the one built here, or QUORVANE_TEST_BIN when set
// (to run the same tests against another build).
inline const char* QuorvaneBin() {
    const char* other = getenv("QUORVANE_TEST_BIN");
    return other && *other ? other : QUORVANE_BIN;
}

// A scratch folder of its own per test, with a temporary folder inside it
// that must be empty again at the end.
class ToolTest : public JapaneseTreeTest {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quorvane-tool-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        scratch_ = pattern;
        temporary_ = scratch_ + "/temp";
        mkdir(temporary_.c_str(), 0700);
        setenv("TMPDIR", temporary_.c_str(), 1);
        // Times must come from the files unless a test fixes them.
        unsetenv("SOURCE_DATE_EPOCH");
    }
    void TearDown() override {
        EXPECT_EQ(List(temporary_), std::vector<std::string>()) << "left in the temporary folder";
        RemoveTree(scratch_);
    }
    // Runs quorvane with `arguments` (already quoted), stdin from /dev/null.
    Outcome Q(const std::string& arguments) {
        return RunProgram(QuorvaneBin(), arguments, scratch_);
    }
    // The same, run from inside `folder`.
    Outcome QIn(const std::string& folder, const std::string& arguments) {
        return RunProgram("cd " + Quote(folder) + " && " + Quote(QuorvaneBin()), arguments,
                          scratch_);
    }

    std::string temporary_;
};
#endif

}  // namespace tool_test
