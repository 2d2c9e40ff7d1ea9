// The quorvane command end to end, run as a separate process the way a user
// runs it.
#include <errno.h>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <dirent.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "payload/records.h"
#include "tests/tools/tool_helpers.h"
#include "tests/writer/pseudo_random.h"

namespace {

using namespace tool_test;

// The records of an archive or a bare payload, in order.
std::vector<EntryRecord> Records(const std::string& path) {
    std::vector<EntryRecord> records;
    uint32_t start = GetEXESize(path.c_str());  // 0 for a bare payload
    FileHandle file;
    OpenForReading(path.c_str(), &file);
    if (file == NO_FILE) return records;
    SetFilePointer64(file, start, FILE_BEGIN);
    EntryRecord record;
    bool at_end = false;
    while (ReadEntryRecord(file, &record, &at_end).cause == CAUSE_OK && !at_end) {
        records.push_back(record);
        SetFilePointer64(file, record.storedSize, FILE_CURRENT);
    }
    CloseFile(file);
    return records;
}

TEST_F(ToolTest, JapaneseTreeRoundTripsWithTimesAndReadOnlyState) {
    MakeTree();
    Outcome create =
        Q("create -o " + Quote(Path("素材.qv")) + " --payload-only " + Quote(Path("素材")));
    ASSERT_EQ(create.code, 0) << create.err;

    Outcome test = Q("test " + Quote(Path("素材.qv")));
    EXPECT_EQ(test.code, 0) << test.err;
    EXPECT_NE(test.out.find("10 entries, all sound"), std::string::npos) << test.out;

    Outcome extract = Q("extract " + Quote(Path("素材.qv")) + " -d " + Quote(Path("出力")));
    ASSERT_EQ(extract.code, 0) << extract.err;
    EXPECT_EQ(List(Path("出力")), std::vector<std::string>{"素材"});
    ExpectSameTree(Path("出力/素材"));
    // Nothing but the entries: no partial files beside them.
    EXPECT_EQ(List(Path("出力/素材")),
              (std::vector<std::string>{"画像", "空.dat", "空のフォルダ", "読み取り専用.txt",
                                        "読んでください.txt"}));

    // The same inputs give the same archive: the walk order is stable. (Reading
    // the folders moved their access times; they are set back first.)
    SetTreeTimes();
    Outcome again =
        Q("create -o " + Quote(Path("again.qv")) + " --payload-only " + Quote(Path("素材")));
    ASSERT_EQ(again.code, 0) << again.err;
    EXPECT_EQ(ReadFile(Path("again.qv")), ReadFile(Path("素材.qv")));
}

TEST_F(ToolTest, ArchiveHoldsCodePage932NamesInSortedOrder) {
    MakeTree();
    ASSERT_EQ(Q("create -o " + Quote(Path("a.qv")) + " --payload-only " + Quote(Path("素材"))).code,
              0);
    std::vector<std::string> names;
    std::vector<uint16_t> attributes;
    for (const EntryRecord& record : Records(Path("a.qv"))) {
        names.push_back(std::string(record.name, record.nameLength));
        attributes.push_back(record.attributeWord);
    }
    // 素材 = 0x91 0x66 0x8D 0xDE; folders end in a backslash and come before
    // what they hold; the order is that of the code page 932 names.
    ASSERT_EQ(names.size(), 10u);
    EXPECT_EQ(names[0], "\x91\x66\x8D\xDE\\");
    EXPECT_EQ(attributes[0], ATTRIBUTE_DIRECTORY);
    std::vector<std::string> utf8_order;
    Outcome list = Q("list " + Quote(Path("a.qv")));
    ASSERT_EQ(list.code, 0) << list.err;
    for (const char* shown :
         {"素材/", "素材/画像/アイコン/ソース.c", "素材/読み取り専用.txt", "6 files, 4 folders"}) {
        EXPECT_NE(list.out.find(shown), std::string::npos) << shown << "\n" << list.out;
    }
    size_t image = list.out.find("素材/画像/\n"), icon = list.out.find("素材/画像/アイコン/\n");
    size_t inside = list.out.find("素材/画像/アイコン/表示.txt");
    EXPECT_LT(image, icon);
    EXPECT_LT(icon, inside);
    // ソース.c holds the double-byte character 0x83 0x5C: one component.
    bool found = false;
    for (size_t i = 0; i < names.size(); i++) {
        if (names[i].find("\x83\x5C\x81\x5B\x83\x58.c") != std::string::npos) {
            found = true;
            EXPECT_EQ(attributes[i], ATTRIBUTE_ARCHIVE | ODD_RESCALE);
        }
        if (names[i].find("\x93\xC7\x82\xDD\x8E\xE6\x82\xE8") != std::string::npos) {
            EXPECT_EQ(attributes[i], ATTRIBUTE_ARCHIVE | ODD_RESCALE | ATTRIBUTE_READONLY);
        }
    }
    EXPECT_TRUE(found);
}

TEST_F(ToolTest, SelfExtractingArchiveAndDefaultDestination) {
#ifndef SAMPLE_STUB
    GTEST_SKIP() << "no cross compiler to make a stub with";
#else
    MakeTree();
    Bytes stub = ReadFile(SAMPLE_STUB);
    ASSERT_FALSE(stub.empty());
    Outcome create = Q("create -o " + Quote(Path("sfx.exe")) + " --stub " + Quote(SAMPLE_STUB) +
                       " " + Quote(Path("素材")));
    ASSERT_EQ(create.code, 0) << create.err;
    Bytes archive = ReadFile(Path("sfx.exe"));
    ASSERT_GT(archive.size(), stub.size());
    EXPECT_TRUE(std::equal(stub.begin(), stub.end(), archive.begin()));
    EXPECT_EQ(GetEXESize(Path("sfx.exe").c_str()), stub.size());
    struct stat info;
    ASSERT_EQ(stat(Path("sfx.exe").c_str(), &info), 0);
    EXPECT_TRUE(info.st_mode & S_IXUSR);

    EXPECT_EQ(Q("test " + Quote(Path("sfx.exe"))).code, 0);
    // Without -d: the archive's name without its extension, in the current folder.
    mkdir(Path("here").c_str(), 0755);
    Outcome extract = QIn(Path("here"), "extract " + Quote(Path("sfx.exe")));
    ASSERT_EQ(extract.code, 0) << extract.err;
    ExpectSameTree(Path("here/sfx/素材"));
    EXPECT_FALSE(Exists(Path("sfx")));

    // A stub with bytes behind its last section would look for its payload
    // in the wrong place.
    Bytes padded = stub;
    padded.push_back(0);
    WriteFile(Path("padded.exe"), padded);
    Outcome refused = Q("create -o " + Quote(Path("bad.exe")) + " --stub " +
                        Quote(Path("padded.exe")) + " " + Quote(Path("素材")));
    EXPECT_EQ(refused.code, 2);
    EXPECT_NE(refused.err.find("stub"), std::string::npos) << refused.err;
    EXPECT_FALSE(Exists(Path("bad.exe")));
#endif
}

TEST_F(ToolTest, CreateNeedsAStub) {
    WriteText(Path("a.txt"), "a");
#ifdef QUORVANE_HAS_STUB
    Outcome create = Q("create -o " + Quote(Path("a.exe")) + " " + Quote(Path("a.txt")));
    EXPECT_EQ(create.code, 0) << create.err;
    EXPECT_EQ(Q("test " + Quote(Path("a.exe"))).code, 0);
#else
    Outcome create = Q("create -o " + Quote(Path("a.exe")) + " " + Quote(Path("a.txt")));
    EXPECT_EQ(create.code, 2);
    EXPECT_NE(create.err.find("no extractor stub"), std::string::npos) << create.err;
    EXPECT_FALSE(Exists(Path("a.exe")));
#endif
    // An extension-less archive has no default destination.
    ASSERT_EQ(
        Q("create -o " + Quote(Path("bare")) + " --payload-only " + Quote(Path("a.txt"))).code, 0);
    EXPECT_EQ(Q("extract " + Quote(Path("bare"))).code, 3);
}

TEST_F(ToolTest, HostileNamesAreRefusedBeforeAnythingIsWritten) {
    const char* hostile[] = {"..\\x",   "\\abs", "C:x",          "a\\\\b",    "CON",
                             "a\\.\\b", "..\\",  "a\\..\\..\\x", "a/../../x", "nul.txt"};
    for (const char* name : hostile) {
        SCOPED_TRACE(name);
        // A sound entry first: it must not be written either.
        WritePayload(Path("evil.qv"),
                     {{"first.txt", ATTRIBUTE_ARCHIVE | ODD_RESCALE, 20, kChainStored},
                      {name, ATTRIBUTE_ARCHIVE | ODD_RESCALE, 20, kChainStored}});
        Outcome extract =
            Q("extract " + Quote(Path("evil.qv")) + " -d " + Quote(Path("dest/inner")));
        EXPECT_EQ(extract.code, 2);
        EXPECT_NE(extract.err.find("nothing was done"), std::string::npos) << extract.err;
        EXPECT_FALSE(Exists(Path("dest")));
        EXPECT_FALSE(Exists(Path("x")));
        EXPECT_FALSE(Exists("/abs"));
        EXPECT_EQ(Q("test " + Quote(Path("evil.qv"))).code, 2);
        EXPECT_EQ(Q("list " + Quote(Path("evil.qv"))).code, 2);
    }
    EXPECT_EQ(List(scratch_), (std::vector<std::string>{"evil.qv", "temp"}));
}

TEST_F(ToolTest, CraftedEntriesDecodeAndSizesAreChecked) {
    for (uint16_t rule : {(uint16_t)0, ODD_RESCALE}) {
        SCOPED_TRACE(rule);
        RemoveTree(Path("out"));
        // 表.txt, whose 0x5C is a trail byte, inside a folder.
        WritePayload(Path("c.qv"),
                     {{"dir\\", ATTRIBUTE_DIRECTORY, 0, {}},
                      {"dir\\\x95\x5C.txt", (uint16_t)(ATTRIBUTE_ARCHIVE | rule), 20, kChainStored},
                      {"wrong size.txt", (uint16_t)(ATTRIBUTE_ARCHIVE | rule), 21, kChainStored},
                      {"empty", ATTRIBUTE_ARCHIVE | ATTRIBUTE_READONLY, 0, {}}});
        Outcome extract = Q("extract " + Quote(Path("c.qv")) + " -d " + Quote(Path("out")));
        EXPECT_EQ(extract.code, 1);
        Bytes text = ReadFile(Path("out/dir/表.txt"));
        EXPECT_EQ(std::string(text.begin(), text.end()), kChainText);
        // Decodes fine but to 20 bytes, not 21: damaged, not extracted.
        EXPECT_FALSE(Exists(Path("out/wrong size.txt")));
        EXPECT_NE(extract.err.find("wrong size.txt"), std::string::npos) << extract.err;
        struct stat info;
        ASSERT_EQ(stat(Path("out/empty").c_str(), &info), 0);
        EXPECT_EQ(info.st_size, 0);
        EXPECT_EQ(info.st_mode & 0222, 0u);
        EXPECT_EQ(info.st_mtim.tv_sec, 1355526400);  // the crafted 130000000000000000
        EXPECT_EQ(List(Path("out")), (std::vector<std::string>{"dir", "empty"}));
    }
}

TEST_F(ToolTest, DamagedEntryLeavesNoFileAndTheRunGoesOn) {
    mkdir(Path("in").c_str(), 0755);
    WriteFile(Path("in/a 壊れる.txt"), Text(50000));
    WriteFile(Path("in/b.txt"), Text(7000));
    ASSERT_EQ(Q("create -o " + Quote(Path("d.qv")) + " --payload-only " + Quote(Path("in"))).code,
              0);
    int64_t at = 0;
    uint32_t size = 0;
    std::string name = "in\\a \x89\xF3\x82\xEA\x82\xE9.txt";
    ASSERT_TRUE(FindStored(Path("d.qv"), name, &at, &size));
    ASSERT_GT(size, 64u);
    Bytes archive = ReadFile(Path("d.qv"));
    for (uint32_t i = size / 3; i < size / 3 + 16; i++) archive[(size_t)at + i] ^= 0x5A;
    WriteFile(Path("d.qv"), archive);

    Outcome test = Q("test " + Quote(Path("d.qv")));
    EXPECT_EQ(test.code, 1);
    EXPECT_NE(test.err.find("a 壊れる.txt"), std::string::npos) << test.err;
    EXPECT_NE(test.err.find("damaged"), std::string::npos) << test.err;

    // An existing file of the damaged entry's name is left as it was.
    mkdir(Path("out").c_str(), 0755);
    mkdir(Path("out/in").c_str(), 0755);
    WriteText(Path("out/in/a 壊れる.txt"), "old");
    Outcome extract =
        Q("extract " + Quote(Path("d.qv")) + " -d " + Quote(Path("out")) + " --overwrite");
    EXPECT_EQ(extract.code, 1);
    EXPECT_NE(extract.err.find("a 壊れる.txt"), std::string::npos) << extract.err;
    EXPECT_EQ(ReadFile(Path("out/in/a 壊れる.txt")), Bytes({'o', 'l', 'd'}));
    EXPECT_EQ(ReadFile(Path("out/in/b.txt")), Text(7000));
    EXPECT_EQ(List(Path("out/in")), (std::vector<std::string>{"a 壊れる.txt", "b.txt"}));

    RemoveTree(Path("out"));
    extract = Q("extract " + Quote(Path("d.qv")) + " -d " + Quote(Path("out")));
    EXPECT_EQ(extract.code, 1);
    EXPECT_EQ(List(Path("out/in")), std::vector<std::string>{"b.txt"});
}

TEST_F(ToolTest, CreateRefusesNamesAndFilesItCannotStore) {
    // Not representable in code page 932 (ä, an emoji); a name that would be
    // a device on Windows; a backslash inside a file name.
    const char* bad[] = {"gr\xC3\xA4sse.txt", "smile \xF0\x9F\x98\x80.txt", "con.txt", "a\\b.txt",
                         "what?.txt"};
    for (const char* name : bad) {
        SCOPED_TRACE(name);
        mkdir(Path("in").c_str(), 0755);
        WriteText(Path("in/fine.txt"), "fine");
        WriteText(Path("in/") + name, "x");
        Outcome create =
            Q("create -o " + Quote(Path("out/a.qv")) + " --payload-only " + Quote(Path("in")));
        EXPECT_EQ(create.code, 2);
        EXPECT_NE(create.err.find(name), std::string::npos) << create.err;
        RemoveTree(Path("in"));
    }
    mkdir(Path("out").c_str(), 0755);

    // More than 255 bytes of name inside the archive: 60 + 60 double-byte
    // characters, two backslashes, "ffffffffff.txt": 256 bytes.
    std::string deep = Path("in");
    std::string one, two;
    for (int i = 0; i < 60; i++) one += "あ", two += "い";
    mkdir(deep.c_str(), 0755);
    mkdir((deep + "/" + one).c_str(), 0755);
    mkdir((deep + "/" + one + "/" + two).c_str(), 0755);
    WriteText(deep + "/" + one + "/" + two + "/ffffffffff.txt", "f");
    Outcome create = Q("create -o " + Quote(Path("out/a.qv")) + " --payload-only " + Quote(deep));
    EXPECT_EQ(create.code, 2);
    EXPECT_NE(create.err.find("ffffffffff.txt"), std::string::npos) << create.err;
    EXPECT_NE(create.err.find("255"), std::string::npos) << create.err;
    RemoveTree(deep);

    // A file of 4 GiB (sparse) is refused before anything is read.
    mkdir(deep.c_str(), 0755);
    int big = open((deep + "/big.bin").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(big, 0);
    ASSERT_EQ(ftruncate(big, 0x100000000LL), 0);
    close(big);
    create = Q("create -o " + Quote(Path("out/a.qv")) + " --payload-only " + Quote(deep));
    EXPECT_EQ(create.code, 2);
    EXPECT_NE(create.err.find("big.bin"), std::string::npos) << create.err;
    RemoveTree(deep);

    // No output and no half-written file beside where it would have gone.
    EXPECT_EQ(List(Path("out")), std::vector<std::string>());
}

TEST_F(ToolTest, UnreadableFileFailsCreate) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
    mkdir(Path("in").c_str(), 0755);
    WriteText(Path("in/secret.txt"), "x");
    chmod(Path("in/secret.txt").c_str(), 0);
    Outcome create = Q("create -o " + Quote(Path("a.qv")) + " --payload-only " + Quote(Path("in")));
    EXPECT_EQ(create.code, 2);
    EXPECT_NE(create.err.find("secret.txt"), std::string::npos) << create.err;
    EXPECT_FALSE(Exists(Path("a.qv")));
    EXPECT_EQ(List(scratch_), (std::vector<std::string>{"in", "temp"}));
}

// Copies of one tree made under different umasks and with different times:
// with one fixed time (option or environment) their archives are the same.
TEST_F(ToolTest, FixedTimeMakesTheSameArchiveFromCopiesOfATree) {
    mode_t mask = umask(022);
    MakeTree();
    mkdir(Path("a").c_str(), 0755);
    ASSERT_EQ(rename(Path("素材").c_str(), Path("a/素材").c_str()), 0);
    umask(077);
    MakeTree();
    umask(mask);
    for (const std::string& file : files_) {
        SetTimes(Path("素材/" + file), At(1500000000, 0), At(1500000000, 0));
    }
    mkdir(Path("b").c_str(), 0755);
    ASSERT_EQ(rename(Path("素材").c_str(), Path("b/素材").c_str()), 0);

#ifdef QUORVANE_HAS_STUB
    const std::string kind = "";  // the built-in stub is part of what must not vary
#else
    const std::string kind = " --payload-only";
#endif
    auto create = [&](const std::string& environment, const std::string& options,
                      const std::string& output, const std::string& tree) {
        return RunProgram(environment + QuorvaneBin(),
                          "create" + kind + options + " -o " + Quote(Path(output)) + " " +
                              Quote(Path(tree + "/素材")),
                          scratch_);
    };
    // 2020-01-02 03:04:05 UTC.
    ASSERT_EQ(create("", " --mtime 2020-01-02T03:04:05Z", "a.exe", "a").code, 0);
    ASSERT_EQ(create("SOURCE_DATE_EPOCH=1577934245 ", "", "b.exe", "b").code, 0);
    ASSERT_EQ(create("SOURCE_DATE_EPOCH=1 ", " --mtime @1577934245", "c.exe", "b").code, 0);
    ASSERT_EQ(create("", "", "free.exe", "b").code, 0);
    Bytes a = ReadFile(Path("a.exe"));
    EXPECT_EQ(ReadFile(Path("b.exe")), a);
    EXPECT_EQ(ReadFile(Path("c.exe")), a);
    EXPECT_NE(ReadFile(Path("free.exe")), a) << "the trees' own times should differ";

    ASSERT_EQ(create("", " --mtime 2020-01-02", "day.qv", "a").code, 0);
    std::vector<EntryRecord> records = Records(Path("day.qv"));
    ASSERT_EQ(records.size(), 10u);
    const uint64_t kMidnight = (1577923200ull + 11644473600ull) * 10000000ull;
    for (const EntryRecord& record : records) {
        EXPECT_EQ(record.creationTime, kMidnight);
        EXPECT_EQ(record.lastAccessTime, kMidnight);
        EXPECT_EQ(record.lastWriteTime, kMidnight);
    }

    for (const char* wrong : {"2021-02-29", "2020-01-02T24:00:00", "@12x", "yesterday", ""}) {
        EXPECT_EQ(create("", std::string(" --mtime ") + Quote(wrong), "bad.qv", "a").code, 3)
            << wrong;
    }
    EXPECT_EQ(create("SOURCE_DATE_EPOCH=soon ", "", "bad.qv", "a").code, 3);
    EXPECT_FALSE(Exists(Path("bad.qv")));
}

// How a file changes while create reads it.
enum Change { GROWS, SHRINKS, IS_REWRITTEN };

// True once `pid` has `path` open and has read past its first byte.
bool IsReading(pid_t pid, const std::string& path) {
    std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    for (const std::string& fd : List(fds)) {
        char target[4096];
        ssize_t length = readlink((fds + "/" + fd).c_str(), target, sizeof target);
        if (length <= 0 || std::string(target, (size_t)length) != path) continue;
        Bytes info = ReadFile("/proc/" + std::to_string(pid) + "/fdinfo/" + fd);
        std::string text(info.begin(), info.end());
        size_t pos = text.find("pos:");
        if (pos != std::string::npos && strtoull(text.c_str() + pos + 4, nullptr, 10) > 0) {
            return true;
        }
    }
    return false;
}

// Runs quorvane with `arguments` and changes `path` once it has begun to read
// it, again and again until it exits (two minutes at most). *changed tells
// whether the change was made at all.
Outcome RunWhileChanging(const std::vector<std::string>& arguments, const std::string& path,
                         Change change, const std::string& scratch, bool* changed) {
    std::string out_file = scratch + "/.stdout", err_file = scratch + "/.stderr";
    pid_t child = fork();
    if (child == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(out_file.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        int err = open(err_file.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        dup2(in, 0), dup2(out, 1), dup2(err, 2);
        std::vector<char*> argv = {const_cast<char*>(QuorvaneBin())};
        for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(QuorvaneBin(), argv.data());
        _exit(127);
    }
    *changed = false;
    int status = -1;
    Bytes block = Noise(65536, 99);
    for (int round = 0; round < 120000 && waitpid(child, &status, WNOHANG) == 0; round++) {
        if (*changed || IsReading(child, path)) {
            int file = open(path.c_str(), O_WRONLY | (change == GROWS ? O_APPEND : 0));
            if (change == GROWS) {
                EXPECT_EQ(write(file, block.data(), block.size()), (ssize_t)block.size());
            } else if (change == SHRINKS && !*changed) {
                EXPECT_EQ(ftruncate(file, 100000), 0);
            } else if (change == IS_REWRITTEN) {
                EXPECT_EQ(pwrite(file, block.data(), 4096, 0), 4096);
            }
            close(file);
            *changed = true;
        }
        usleep(1000);
    }
    if (waitpid(child, &status, WNOHANG) == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    Outcome run;
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    Bytes err = ReadFile(err_file);
    run.err.assign(err.begin(), err.end());
    unlink(out_file.c_str());
    unlink(err_file.c_str());
    return run;
}

TEST_F(ToolTest, FileThatChangesWhileReadIsRefusedAndNothingIsLeft) {
    for (Change change : {GROWS, SHRINKS, IS_REWRITTEN}) {
        SCOPED_TRACE(change);
        RemoveTree(Path("in"));
        RemoveTree(Path("out"));
        mkdir(Path("in").c_str(), 0755);
        mkdir(Path("out").c_str(), 0755);
        WriteFile(Path("in/変わる.bin"), Noise(6000000, (uint32_t)change));
        bool changed = false;
        Outcome create =
            RunWhileChanging({"create", "-o", Path("out/a.qv"), "--payload-only", Path("in")},
                             Path("in/変わる.bin"), change, scratch_, &changed);
        ASSERT_TRUE(changed) << "create read the file too fast to be interrupted";
        EXPECT_EQ(create.code, 2) << create.err;
        EXPECT_NE(create.err.find("変わる.bin"), std::string::npos) << create.err;
        EXPECT_EQ(List(Path("out")), std::vector<std::string>());
    }
}

// Files of /proc report 0 bytes and have content.
TEST_F(ToolTest, FileWithMoreBytesThanItsSizeIsRefused) {
    struct stat info;
    if (stat("/proc/version", &info) != 0 || info.st_size != 0) GTEST_SKIP() << "no /proc";
    Outcome create = Q("create -o " + Quote(Path("p.qv")) + " --payload-only /proc/version");
    EXPECT_EQ(create.code, 2);
    EXPECT_NE(create.err.find("/proc/version"), std::string::npos) << create.err;
    EXPECT_EQ(List(scratch_), std::vector<std::string>{"temp"});
}

TEST_F(ToolTest, ExistingFilesWithoutATerminal) {
    WritePayload(Path("e.qv"), {{"a.txt", ATTRIBUTE_ARCHIVE | ODD_RESCALE, 20, kChainStored},
                                {"b.txt", ATTRIBUTE_ARCHIVE, 20, kChainStored}});
    mkdir(Path("out").c_str(), 0755);
    WriteText(Path("out/a.txt"), "mine");
    std::string base = "extract " + Quote(Path("e.qv")) + " -d " + Quote(Path("out"));

    // Refused: not replaced, reported, the rest extracted, exit code 1.
    Outcome refused = Q(base);
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(refused.err.find("a.txt"), std::string::npos) << refused.err;
    EXPECT_EQ(ReadFile(Path("out/a.txt")), Bytes({'m', 'i', 'n', 'e'}));
    Bytes b = ReadFile(Path("out/b.txt"));
    EXPECT_EQ(std::string(b.begin(), b.end()), kChainText);

    Outcome skipped = Q(base + " --skip-existing");
    EXPECT_EQ(skipped.code, 0) << skipped.err;
    EXPECT_EQ(ReadFile(Path("out/a.txt")), Bytes({'m', 'i', 'n', 'e'}));

    Outcome replaced = Q(base + " --overwrite");
    EXPECT_EQ(replaced.code, 0) << replaced.err;
    Bytes a = ReadFile(Path("out/a.txt"));
    EXPECT_EQ(std::string(a.begin(), a.end()), kChainText);

    // A folder where the file goes is never replaced.
    RemoveTree(Path("out/a.txt"));
    mkdir(Path("out/a.txt").c_str(), 0755);
    Outcome folder = Q(base + " --overwrite");
    EXPECT_EQ(folder.code, 1);
    EXPECT_EQ(Q(base + " --overwrite --skip-existing").code, 3);
}

// Runs quorvane on a pseudo-terminal and answers its questions.
int RunOnTerminal(const std::vector<std::string>& arguments,
                  const std::vector<std::string>& answers, std::string* transcript) {
    int master = -1;
    pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    if (child < 0) return -1;
    if (child == 0) {
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(QuorvaneBin()));
        for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(QuorvaneBin(), argv.data());
        _exit(127);
    }
    // Each question, or the new name it asks for, gets the next answer; "\x04"
    // is Ctrl-D.
    size_t answered = 0, seen = 0;
    char buffer[4096];
    for (;;) {
        ssize_t got = read(master, buffer, sizeof buffer);
        if (got <= 0) break;  // EIO once the child has gone
        transcript->append(buffer, (size_t)got);
        for (;;) {
            size_t question = transcript->find("[r]ename: ", seen);
            size_t name = transcript->find("new name: ", seen);
            size_t prompt = std::min(question, name);
            if (prompt == std::string::npos || answered == answers.size()) break;
            seen = prompt + 10;
            std::string line = answers[answered++];
            if (line != "\x04") line += "\n";
            if (write(master, line.data(), line.size()) < 0) break;
        }
    }
    close(master);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(ToolTest, ExistingFilesAreAskedAboutWithYesNoAllNoneAndRename) {
    std::vector<Crafted> entries;
    for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt"})
        entries.push_back({name, ATTRIBUTE_ARCHIVE | ODD_RESCALE, 20, kChainStored});
    WritePayload(Path("t.qv"), entries);
    auto mine = [&] {
        RemoveTree(Path("out"));
        mkdir(Path("out").c_str(), 0755);
        for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt"})
            WriteText(Path("out/") + name, "mine");
    };
    auto text = [&](const char* name) {
        Bytes bytes = ReadFile(Path("out/") + name);
        return std::string(bytes.begin(), bytes.end());
    };
    // Decoded several at once, asked about one after the other in archive order.
    std::vector<std::string> arguments = {"extract", "-j", "4", Path("t.qv"), "-d", Path("out")};

    // No keeps a.txt and makes the exit code 1; b.txt goes to a new name; All
    // replaces c.txt and d.txt without asking again.
    mine();
    std::string transcript;
    EXPECT_EQ(RunOnTerminal(arguments, {"n", "r", "b2.txt", "A"}, &transcript), 1) << transcript;
    EXPECT_LT(transcript.find("a.txt?"), transcript.find("b.txt?")) << transcript;
    EXPECT_LT(transcript.find("b.txt?"), transcript.find("c.txt?")) << transcript;
    EXPECT_NE(transcript.find("replace " + Path("out/a.txt") +
                              "? [y]es, [n]o, [A]ll, [N]one, [r]ename: "),
              std::string::npos)
        << transcript;
    EXPECT_EQ(text("a.txt"), "mine");
    EXPECT_EQ(text("b.txt"), "mine");
    EXPECT_EQ(text("b2.txt"), kChainText);
    EXPECT_EQ(text("c.txt"), kChainText);
    EXPECT_EQ(text("d.txt"), kChainText);
    EXPECT_EQ(transcript.find("d.txt?"), std::string::npos) << transcript;

    // Ctrl-D answers no; None keeps the rest.
    mine();
    transcript.clear();
    EXPECT_EQ(RunOnTerminal(arguments, {"\x04", "N"}, &transcript), 1) << transcript;
    for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt"}) EXPECT_EQ(text(name), "mine");
    EXPECT_EQ(transcript.find("c.txt?"), std::string::npos) << transcript;

    mine();
    transcript.clear();
    EXPECT_EQ(RunOnTerminal(arguments, {"y", "y", "y", "y"}, &transcript), 0) << transcript;
    EXPECT_EQ(text("a.txt"), kChainText);
}

TEST_F(ToolTest, BrokenStructureIsRefused) {
    WritePayload(Path("s.qv"), {{"a.txt", ATTRIBUTE_ARCHIVE | ODD_RESCALE, 20, kChainStored}});
    Bytes whole = ReadFile(Path("s.qv"));
    whole.pop_back();
    WriteFile(Path("s.qv"), whole);
    Outcome extract = Q("extract " + Quote(Path("s.qv")) + " -d " + Quote(Path("out")));
    EXPECT_EQ(extract.code, 2);
    EXPECT_NE(extract.err.find("past the end"), std::string::npos) << extract.err;
    EXPECT_FALSE(Exists(Path("out")));

    // No records at all: sound, and nothing to do.
    WriteFile(Path("empty.qv"), Bytes());
    EXPECT_EQ(Q("test " + Quote(Path("empty.qv"))).code, 0);
    EXPECT_EQ(Q("extract " + Quote(Path("empty.qv")) + " -d " + Quote(Path("e"))).code, 0);
    EXPECT_EQ(List(Path("e")), std::vector<std::string>());

    EXPECT_EQ(Q("test " + Quote(Path("missing.qv"))).code, 2);
}

// Small entries are compressed several at once and large ones block by block
// on every thread; either way each entry lands in its place, and the archive
// is the same for every thread count.
TEST_F(ToolTest, ArchiveIsTheSameForEveryThreadCount) {
    mkdir(Path("in").c_str(), 0755);
    mkdir(Path("in/b").c_str(), 0755);
    WriteFile(Path("in/a1.txt"), Text(70000));
    WriteFile(Path("in/a2.bin"), Noise(300000, 7));
    WriteFile(Path("in/a3.txt"), Bytes());
    WriteFile(Path("in/b/big.txt"), Text(5 << 20));
    WriteFile(Path("in/b/c.txt"), Text(1000));
    WriteFile(Path("in/d.bin"), Noise(2 << 20, 8));
    for (const char* threads : {"1", "2", "5"}) {
        Outcome create = Q(std::string("create -j ") + threads + " --mtime @1000000000 -o " +
                           Quote(Path(std::string("j") + threads + ".qv")) + " --payload-only " +
                           Quote(Path("in")));
        ASSERT_EQ(create.code, 0) << create.err;
    }
    EXPECT_EQ(ReadFile(Path("j1.qv")), ReadFile(Path("j2.qv")));
    EXPECT_EQ(ReadFile(Path("j1.qv")), ReadFile(Path("j5.qv")));
    ASSERT_EQ(Q("extract " + Quote(Path("j5.qv")) + " -d " + Quote(Path("out"))).code, 0);
    EXPECT_EQ(ReadFile(Path("out/in/b/big.txt")), Text(5 << 20));
    EXPECT_EQ(ReadFile(Path("out/in/a2.bin")), Noise(300000, 7));
    EXPECT_EQ(ReadFile(Path("out/in/d.bin")), Noise(2 << 20, 8));
    EXPECT_EQ(ReadFile(Path("out/in/b/c.txt")), Text(1000));
}

// Every file and folder below `root`, in sorted order: its path, kind, last
// write time and bytes, as one text to compare.
std::string TreeListing(const std::string& root, const std::string& below = "") {
    std::string listing;
    for (const std::string& name : List(root + below)) {
        std::string path = below + "/" + name;
        struct stat info;
        if (stat((root + path).c_str(), &info) != 0) continue;
        listing += path + " " + std::to_string(info.st_mtim.tv_sec) + "." +
                   std::to_string(info.st_mtim.tv_nsec);
        if (S_ISDIR(info.st_mode)) {
            listing += "/\n" + TreeListing(root, path);
        } else {
            Bytes bytes = ReadFile(root + path);
            listing += " " + std::string(bytes.begin(), bytes.end()) + "\n";
        }
    }
    return listing;
}

TEST_F(ToolTest, SeveralThreadsGiveOneThreadsResultsInArchiveOrder) {
    // Many small files in nested folders, two large ones that take the
    // two-thread pipeline, empty ones, and a damaged small one among them.
    mkdir(Path("in").c_str(), 0755);
    const size_t sizes[] = {0, 1, 300, 5000, 40000, 150000, 700000};
    for (int folder = 0; folder < 4; folder++) {
        std::string dir = "in/f" + std::to_string(folder);
        mkdir(Path(dir).c_str(), 0755);
        for (int i = 0; i < 12; i++) {
            size_t size = sizes[(folder + i) % 7];
            WriteFile(Path(dir + "/" + std::to_string(i) + ".bin"),
                      i % 3 ? Text(size + i) : Noise(size, folder * 100 + i));
        }
        SetTimes(Path(dir), At(1100000000 + folder, 0), At(1200000000 + folder, 0));
    }
    WriteFile(Path("in/f1/large.txt"), Text(1500000));
    WriteFile(Path("in/f3/large.bin"), Noise(1200000, 99));
    ASSERT_EQ(Q("create -o " + Quote(Path("p.qv")) + " --payload-only " + Quote(Path("in"))).code,
              0);
    int64_t at = 0;
    uint32_t size = 0;
    ASSERT_TRUE(FindStored(Path("p.qv"), "in\\f2\\4.bin", &at, &size));
    Bytes archive = ReadFile(Path("p.qv"));
    for (uint32_t i = size / 3; i < size / 3 + 16; i++) archive[(size_t)at + i] ^= 0x5A;
    WriteFile(Path("p.qv"), archive);
    std::string quoted = Quote(Path("p.qv"));

    Outcome test_one = Q("test -v -j 1 " + quoted);
    EXPECT_EQ(test_one.code, 1);
    EXPECT_NE(test_one.err.find("4.bin: damaged"), std::string::npos) << test_one.err;
    Outcome extract_one = Q("extract -v -j 1 " + quoted + " -d " + Quote(Path("one")));
    EXPECT_EQ(extract_one.code, 1);
    Outcome output_one = Q("extract -c -j 1 " + quoted + " 'in/f1/*' 'in/f3/*' '*large*'");
    EXPECT_EQ(output_one.code, 0) << output_one.err;
    Outcome output_damaged_one = Q("extract -c -j 1 " + quoted + " 'in/f2/*'");
    EXPECT_EQ(output_damaged_one.code, 1);

    // Files of f1 and f3 in archive order, each large file where it stands.
    std::string expected;
    for (int folder : {1, 3}) {
        std::vector<std::string> names = List(Path("in/f" + std::to_string(folder)));
        for (const std::string& name : names) {
            Bytes bytes = ReadFile(Path("in/f" + std::to_string(folder) + "/" + name));
            expected += std::string(bytes.begin(), bytes.end());
        }
    }
    EXPECT_TRUE(output_one.out == expected);

    for (const char* threads : {"2", "5"}) {
        SCOPED_TRACE(threads);
        std::string j = std::string(" -j ") + threads + " ";
        Outcome test = Q("test -v" + j + quoted);
        EXPECT_EQ(test.code, test_one.code);
        EXPECT_EQ(test.out, test_one.out);
        EXPECT_EQ(test.err, test_one.err);
        std::string out = Path(std::string("many") + threads);
        Outcome extract = Q("extract -v" + j + quoted + " -d " + Quote(out));
        EXPECT_EQ(extract.code, extract_one.code);
        EXPECT_EQ(extract.out, extract_one.out);
        EXPECT_EQ(extract.err, extract_one.err);
        EXPECT_TRUE(TreeListing(out) == TreeListing(Path("one")));
        Outcome output = Q("extract -c" + j + quoted + " 'in/f1/*' 'in/f3/*' '*large*'");
        EXPECT_EQ(output.code, 0);
        EXPECT_TRUE(output.out == output_one.out);
        Outcome output_damaged = Q("extract -c" + j + quoted + " 'in/f2/*'");
        EXPECT_EQ(output_damaged.code, 1);
        EXPECT_TRUE(output_damaged.out == output_damaged_one.out);
        EXPECT_EQ(output_damaged.err, output_damaged_one.err);
    }
    EXPECT_EQ(Q("test -j 0 " + quoted).code, 3);
}

// Pseudo-random bytes whose stream needs the narrow-interval widening under
// both rescale rules (found with writer_narrow_search), so the entry keeps it.
const uint64_t NARROW_SEED = 20420;
const size_t NARROW_SIZE = 0x20000;

TEST_F(ToolTest, EntryThatNeedsTheNarrowIntervalRuleIsNamedAndExtractsExactly) {
    mkdir(Path("in").c_str(), 0755);
    Bytes narrow = PseudoRandomBytes(NARROW_SEED, NARROW_SIZE);
    WriteFile(Path("in/narrow.bin"), narrow);
    WriteFile(Path("in/plain.txt"), Text(300000));
    // Reading moves access times; they are set back before each run.
    auto fixed_times = [&] {
        for (const char* path : {"in", "in/narrow.bin", "in/plain.txt"})
            SetTimes(Path(path), At(1000000000, 0), At(1000000000, 0));
    };
    fixed_times();
    Outcome create =
        Q("create -j 1 -o " + Quote(Path("a.qv")) + " --payload-only " + Quote(Path("in")));
    ASSERT_EQ(create.code, 0) << create.err;
    // A plain create says nothing of it.
    EXPECT_EQ(create.out, "");

    // -v names every file, and says which extractors open this one; more
    // threads make the same archive.
    fixed_times();
    Outcome verbose =
        Q("create -v -j 3 -o " + Quote(Path("b.qv")) + " --payload-only " + Quote(Path("in")));
    ASSERT_EQ(verbose.code, 0) << verbose.err;
    EXPECT_EQ(verbose.out,
              "in/\nin/narrow.bin (opens with quorvane and its own extractor only; "
              "others report it as damaged)\nin/plain.txt\n");
    EXPECT_EQ(ReadFile(Path("a.qv")), ReadFile(Path("b.qv")));

    Outcome test = Q("test -v " + Quote(Path("a.qv")));
    EXPECT_EQ(test.code, 0) << test.err;
    EXPECT_NE(test.out.find("in/narrow.bin (opens with quorvane and its own extractor only"),
              std::string::npos)
        << test.out;
    EXPECT_EQ(test.out.find("plain.txt"), std::string::npos) << test.out;
    EXPECT_EQ(Q("test " + Quote(Path("a.qv"))).out.find("narrow"), std::string::npos);

    ASSERT_EQ(Q("extract " + Quote(Path("a.qv")) + " -d " + Quote(Path("out"))).code, 0);
    EXPECT_EQ(ReadFile(Path("out/in/narrow.bin")), narrow);
    EXPECT_EQ(ReadFile(Path("out/in/plain.txt")), Text(300000));
}

TEST_F(ToolTest, CommandLine) {
    Outcome help = Q("--help");
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("Exit status"), std::string::npos);
    Outcome version = Q("--version");
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out.rfind("quorvane ", 0), 0u);
    EXPECT_EQ(Q("").code, 3);
    EXPECT_EQ(Q("frobnicate").code, 3);
    EXPECT_EQ(Q("create " + Quote(Path("x"))).code, 3);        // no -o
    EXPECT_EQ(Q("create -o " + Quote(Path("x.qv"))).code, 3);  // nothing to pack
    EXPECT_EQ(Q("extract").code, 3);
    EXPECT_EQ(Q("extract a b").code, 3);
    EXPECT_EQ(Q("list").code, 3);
    EXPECT_EQ(Q("create -j 0 -o " + Quote(Path("x.qv")) + " " + Quote(Path("x"))).code, 3);
    EXPECT_EQ(Q("create -j -o " + Quote(Path("x.qv")) + " " + Quote(Path("x"))).code, 3);
    Outcome threads = Q("create -j abc -o " + Quote(Path("x.qv")) + " " + Quote(Path("x")));
    EXPECT_EQ(threads.code, 3);
    EXPECT_EQ(
        threads.err.rfind("quorvane: -j wants a number of threads from 1 to 64, not 'abc'\n", 0),
        0u)
        << threads.err;
}

}  // namespace
