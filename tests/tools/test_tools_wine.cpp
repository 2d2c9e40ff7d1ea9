// The Windows console quorvane.exe under Wine, against archives that the
// native quorvane makes and that it makes itself for the native one: create,
// list, test and extract as a Windows user runs them, with names in code page
// 932, checked from this side byte for byte.
#include <iconv.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "payload/records.h"
#include "tests/tools/tool_helpers.h"

namespace {

using namespace tool_test;

// The ANSI code page's bytes that quorvane.exe prints, as UTF-8, with the
// console's CR LF line ends made plain.
std::string FromCp932(const std::string& cp932) {
    iconv_t converter = iconv_open("UTF-8", "CP932");
    if (converter == (iconv_t)-1) return "(no converter)";
    std::string utf8;
    char* source = const_cast<char*>(cp932.data());
    size_t left = cp932.size();
    while (left > 0) {
        char buffer[4096];
        char* target = buffer;
        size_t room = sizeof buffer;
        size_t result = iconv(converter, &source, &left, &target, &room);
        utf8.append(buffer, (size_t)(target - buffer));
        if (result == (size_t)-1 && errno != E2BIG) {
            utf8 += "(not code page 932)";
            break;
        }
    }
    iconv_close(converter);
    std::string plain;
    for (char c : utf8) {
        if (c != '\r') plain += c;
    }
    return plain;
}

// A path of this system as Wine's Z: drive shows it.
std::string WindowsPath(const std::string& path) {
    std::string windows = "Z:";
    for (char c : path) windows += c == '/' ? '\\' : c;
    return windows;
}

// Work files that a Windows program left in its temporary folder, anywhere
// in the prefix.
std::vector<std::string> LeftWorkFiles() {
    std::vector<std::string> left;
    std::string command = "find " + Quote(std::string(WINE_PREFIX) + "/drive_c") +
                          " -name 'quorvane-work-*' 2>/dev/null";
    FILE* found = popen(command.c_str(), "r");
    if (!found) return {"(find failed)"};
    char line[4096];
    while (fgets(line, sizeof line, found)) left.push_back(line);
    pclose(found);
    return left;
}

class WineToolTest : public JapaneseTreeTest {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quorvane-wine-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        scratch_ = pattern;
        // Wine hands the environment on; times must come from the files.
        unsetenv("SOURCE_DATE_EPOCH");
    }
    void TearDown() override {
        EXPECT_EQ(LeftWorkFiles(), std::vector<std::string>()) << "work files left behind";
        RemoveTree(scratch_);
    }

    // The native quorvane, for making archives.
    Outcome Native(const std::string& arguments) {
        return RunProgram(QUORVANE_BIN, arguments, scratch_);
    }

    // quorvane.exe under Wine; arguments are quoted UTF-8, which Wine hands to
    // the program in the ANSI code page. Output comes back as UTF-8.
    // From `folder` when one is given.
    Outcome Windows(const std::string& arguments, const std::string& folder = "") {
        std::string in_folder = folder.empty() ? "" : "cd " + Quote(folder) + " && ";
        Outcome run = RunProgram(
            in_folder + Quote(WINE_RUN) + " " + Quote(WINE_PREFIX) + " " + Quote(QUORVANE_EXE),
            arguments, scratch_);
        run.out = FromCp932(run.out);
        run.err = FromCp932(run.err);
        return run;
    }

    std::string W(const std::string& relative) { return Quote(WindowsPath(Path(relative))); }
};

TEST_F(WineToolTest, JapaneseTreeIsListedTestedAndExtracted) {
    MakeTree();
    ASSERT_EQ(
        Native("create -o " + Quote(Path("素材.qv")) + " --payload-only " + Quote(Path("素材")))
            .code,
        0);

    Outcome list = Windows("list " + W("素材.qv"));
    ASSERT_EQ(list.code, 0) << list.err;
    // Names as Windows writes them; ソース.c holds 0x83 0x5C, one name.
    size_t total = 0;
    for (const std::string& file : files_) total += ReadFile(Path("素材/" + file)).size();
    std::string totals = "6 files, 4 folders, " + std::to_string(total) + " bytes stored in";
    for (const std::string& shown :
         {std::string("素材\\\n"), std::string("素材\\画像\\アイコン\\\n"),
          std::string("素材\\画像\\アイコン\\ソース.c\n"),
          std::string("-AR--  素材\\読み取り専用.txt\n"),
          std::string("D----  素材\\空のフォルダ\\\n"), totals}) {
        EXPECT_NE(list.out.find(shown), std::string::npos) << shown << "\n" << list.out;
    }
    EXPECT_LT(list.out.find("素材\\画像\\\n"), list.out.find("素材\\画像\\アイコン\\表示.txt"));

    Outcome test = Windows("test " + W("素材.qv"));
    EXPECT_EQ(test.code, 0) << test.err;
    EXPECT_NE(test.out.find("10 entries, all sound"), std::string::npos) << test.out;
    EXPECT_FALSE(Exists(Path("素材/素材")));

    Outcome extract = Windows("extract " + W("素材.qv") + " -d " + W("出力"));
    ASSERT_EQ(extract.code, 0) << extract.err;
    EXPECT_EQ(List(Path("出力")), std::vector<std::string>{"素材"});
    ExpectSameTree(Path("出力/素材"));
    // Nothing beside the entries: no partial files.
    EXPECT_EQ(List(Path("出力/素材")),
              (std::vector<std::string>{"画像", "空.dat", "空のフォルダ", "読み取り専用.txt",
                                        "読んでください.txt"}));
    EXPECT_EQ(List(Path("出力/素材/画像/アイコン")),
              (std::vector<std::string>{"ソース.c", "表示.txt"}));
}

TEST_F(WineToolTest, SelfExtractingArchiveToItsDefaultDestination) {
    std::string stub = std::string(QUORVANE_WIN_BUILD) + "/app/quorvane-sfx.exe";
    if (!Exists(stub)) GTEST_SKIP() << "no extractor stub in " << QUORVANE_WIN_BUILD;
    MakeTree();
    ASSERT_EQ(Native("create -o " + Quote(Path("素材.exe")) + " --stub " + Quote(stub) + " " +
                     Quote(Path("素材")))
                  .code,
              0);
    Outcome test = Windows("test " + W("素材.exe"));
    EXPECT_EQ(test.code, 0) << test.err;
    // Without -d: the archive's name without its extension, in the current folder.
    mkdir(Path("here").c_str(), 0755);
    Outcome extract = Windows("extract " + W("素材.exe"), Path("here"));
    ASSERT_EQ(extract.code, 0) << extract.err;
    ExpectSameTree(Path("here/素材/素材"));
}

TEST_F(WineToolTest, DamagedEntryFailsAndLeavesNoFile) {
    mkdir(Path("in").c_str(), 0755);
    WriteFile(Path("in/a 壊れる.txt"), Text(50000));
    WriteFile(Path("in/b.txt"), Text(7000));
    ASSERT_EQ(
        Native("create -o " + Quote(Path("d.qv")) + " --payload-only " + Quote(Path("in"))).code,
        0);
    int64_t at = 0;
    uint32_t size = 0;
    ASSERT_TRUE(FindStored(Path("d.qv"), "in\\a \x89\xF3\x82\xEA\x82\xE9.txt", &at, &size));
    ASSERT_GT(size, 64u);
    Bytes archive = ReadFile(Path("d.qv"));
    for (uint32_t i = size / 3; i < size / 3 + 16; i++) archive[(size_t)at + i] ^= 0x5A;
    WriteFile(Path("d.qv"), archive);

    Outcome test = Windows("test " + W("d.qv"));
    EXPECT_EQ(test.code, 1);
    EXPECT_NE(test.err.find("in\\a 壊れる.txt: damaged"), std::string::npos) << test.err;

    Outcome extract = Windows("extract " + W("d.qv") + " -d " + W("out"));
    EXPECT_EQ(extract.code, 1);
    EXPECT_NE(extract.err.find("a 壊れる.txt"), std::string::npos) << extract.err;
    EXPECT_EQ(List(Path("out/in")), std::vector<std::string>{"b.txt"});
    EXPECT_EQ(ReadFile(Path("out/in/b.txt")), Text(7000));

    // An existing file of the damaged entry's name stays as it was, even with
    // --overwrite.
    WriteText(Path("out/in/a 壊れる.txt"), "old");
    extract = Windows("extract " + W("d.qv") + " -d " + W("out") + " --overwrite");
    EXPECT_EQ(extract.code, 1);
    EXPECT_EQ(ReadFile(Path("out/in/a 壊れる.txt")), Bytes({'o', 'l', 'd'}));
    EXPECT_EQ(List(Path("out/in")), (std::vector<std::string>{"a 壊れる.txt", "b.txt"}));
}

TEST_F(WineToolTest, HostileNamesAreRefusedBeforeAnythingIsWritten) {
    // "\x80\\.." would be a separator and ".." to a system that took 0x80 for
    // a character of its own.
    const char* hostile[] = {"..\\x",   "\\abs", "C:x",          "a\\\\b", "CON",
                             "a\\.\\b", "..\\",  "a\\..\\..\\x", "a/../x", "\x80\\..\\x"};
    for (const char* name : hostile) {
        SCOPED_TRACE(name);
        // A sound entry first: it must not be written either.
        WritePayload(Path("evil.qv"),
                     {{"first.txt", ATTRIBUTE_ARCHIVE | ODD_RESCALE, 20, kChainStored},
                      {name, ATTRIBUTE_ARCHIVE | ODD_RESCALE, 20, kChainStored}});
        Outcome extract = Windows("extract " + W("evil.qv") + " -d " + W("dest/inner"));
        EXPECT_EQ(extract.code, 2);
        EXPECT_NE(extract.err.find("nothing was done"), std::string::npos) << extract.err;
        EXPECT_FALSE(Exists(Path("dest")));
        EXPECT_EQ(List(scratch_), std::vector<std::string>{"evil.qv"});
    }
    EXPECT_EQ(Windows("test " + W("evil.qv")).code, 2);
    EXPECT_EQ(Windows("list " + W("evil.qv")).code, 2);
    EXPECT_FALSE(Exists("/abs"));
}

TEST_F(WineToolTest, ExistingFilesWithoutAConsole) {
    WritePayload(Path("e.qv"), {{"a.txt", ATTRIBUTE_ARCHIVE | ODD_RESCALE, 20, kChainStored},
                                {"b.txt", ATTRIBUTE_ARCHIVE | ODD_RESCALE, 20, kChainStored}});
    mkdir(Path("out").c_str(), 0755);
    WriteText(Path("out/a.txt"), "mine");
    // Read-only, as a user's own file may be: --overwrite replaces it all the same.
    chmod(Path("out/a.txt").c_str(), 0444);
    std::string base = "extract " + W("e.qv") + " -d " + W("out");

    // Standard input is no console: nothing to ask, so the file is kept.
    Outcome refused = Windows(base);
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(refused.err.find("a.txt: exists and was not replaced"), std::string::npos)
        << refused.err;
    EXPECT_EQ(ReadFile(Path("out/a.txt")), Bytes({'m', 'i', 'n', 'e'}));
    Bytes b = ReadFile(Path("out/b.txt"));
    EXPECT_EQ(std::string(b.begin(), b.end()), kChainText);

    Outcome skipped = Windows(base + " --skip-existing");
    EXPECT_EQ(skipped.code, 0) << skipped.err;
    EXPECT_EQ(ReadFile(Path("out/a.txt")), Bytes({'m', 'i', 'n', 'e'}));

    Outcome replaced = Windows(base + " --overwrite");
    EXPECT_EQ(replaced.code, 0) << replaced.err;
    Bytes a = ReadFile(Path("out/a.txt"));
    EXPECT_EQ(std::string(a.begin(), a.end()), kChainText);
    struct stat info;
    ASSERT_EQ(stat(Path("out/a.txt").c_str(), &info), 0);
    EXPECT_NE(info.st_mode & 0200, 0u) << "the archived entry is not read-only";
    EXPECT_EQ(List(Path("out")), (std::vector<std::string>{"a.txt", "b.txt"}));
}

TEST_F(WineToolTest, SwappingAFolderForALinkNeverSendsAFileOutside) {
    // Files alternate between top\sub and top, so that top\sub is entered
    // again for every other file while it is being swapped.
    const int kFiles = 600;
    std::vector<Crafted> records = {{"top\\", ATTRIBUTE_DIRECTORY, 0, Bytes()},
                                    {"top\\sub\\", ATTRIBUTE_DIRECTORY, 0, Bytes()}};
    for (int i = 0; i < kFiles; i++) {
        char name[32];
        snprintf(name, sizeof name, i % 2 ? "top\\f%04d.txt" : "top\\sub\\f%04d.txt", i);
        records.push_back({name, ATTRIBUTE_ARCHIVE | ODD_RESCALE, 20, kChainStored});
    }
    WritePayload(Path("many.qv"), records);
    mkdir(Path("outside").c_str(), 0755);
    std::string sub = Path("out/top/sub");
    for (int run = 0; run < 3; run++) {
        SCOPED_TRACE(run);
        RemoveTree(Path("out"));
        Outcome extract = WhileSwappedForLink(sub, Path("outside"), [&] {
            return Windows("extract " + W("many.qv") + " -d " + W("out"));
        });
        EXPECT_TRUE(extract.code == 0 || extract.code == 1) << extract.err;
        ASSERT_EQ(List(Path("outside")), std::vector<std::string>());
    }
}

// What a console shows, without Wine's cursor and erase sequences; a move to
// the right stands for the blanks it passes over.
std::string WithoutEscapes(const std::string& shown) {
    std::string plain;
    for (size_t i = 0; i < shown.size(); i++) {
        if (shown[i] == '\x1b' && i + 1 < shown.size() && shown[i + 1] == '[') {
            size_t start = i + 2;
            i = start;
            while (i < shown.size() && !((shown[i] >= 'A' && shown[i] <= 'Z') ||
                                         (shown[i] >= 'a' && shown[i] <= 'z'))) {
                i++;
            }
            if (i < shown.size() && shown[i] == 'C') {
                int count = atoi(shown.substr(start, i - start).c_str());
                plain.append((size_t)(count > 0 ? count : 1), ' ');
            }
        } else if (shown[i] != '\r') {
            plain += shown[i];
        }
    }
    return plain;
}

// Runs quorvane.exe under Wine on a pseudo-terminal, which Wine makes its
// console, and answers the question it asks there.
int RunOnConsole(const std::vector<std::string>& arguments, const std::string& answer,
                 std::string* transcript) {
    int master = -1;
    pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    if (child < 0) return -1;
    if (child == 0) {
        // Raw from the start: before Wine's console takes the terminal over,
        // a cooked terminal would turn the answer's carriage return into a
        // line feed, which the console does not take for Enter.
        struct termios mode;
        if (tcgetattr(STDIN_FILENO, &mode) == 0) {
            cfmakeraw(&mode);
            tcsetattr(STDIN_FILENO, TCSANOW, &mode);
        }
        std::vector<std::string> all = {WINE_RUN, WINE_PREFIX, QUORVANE_EXE};
        all.insert(all.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(WINE_RUN, argv.data());
        _exit(127);
    }
    // Wine's server outlives the program and may hold the terminal open: the
    // end of the program, not of the terminal, ends the conversation.
    bool answered = false, ended = false;
    int status = 0;
    char buffer[4096];
    for (;;) {
        struct pollfd ready = {master, POLLIN, 0};
        if (poll(&ready, 1, 200) <= 0) {
            if (ended) break;
            ended = waitpid(child, &status, WNOHANG) == child;
            continue;
        }
        ssize_t got = read(master, buffer, sizeof buffer);
        if (got <= 0) break;  // EIO once nothing holds the terminal any more
        transcript->append(buffer, (size_t)got);
        if (!answered && WithoutEscapes(*transcript).find("[r]ename: ") != std::string::npos) {
            std::string line = answer + "\r";
            if (write(master, line.data(), line.size()) < 0) break;
            answered = true;
        }
    }
    close(master);
    if (!ended) waitpid(child, &status, 0);
    *transcript = WithoutEscapes(*transcript);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(WineToolTest, ExistingFileIsAskedAboutOnAConsole) {
    WritePayload(Path("t.qv"), {{"a.txt", ATTRIBUTE_ARCHIVE | ODD_RESCALE, 20, kChainStored}});
    mkdir(Path("out").c_str(), 0755);
    WriteText(Path("out/a.txt"), "mine");
    std::vector<std::string> arguments = {"extract", WindowsPath(Path("t.qv")), "-d",
                                          WindowsPath(Path("out"))};

    std::string transcript;
    // No keeps the file, and the exit status says one was not extracted.
    EXPECT_EQ(RunOnConsole(arguments, "n", &transcript), 1) << transcript;
    EXPECT_NE(transcript.find("[N]one, [r]ename: n"), std::string::npos) << transcript;
    EXPECT_EQ(ReadFile(Path("out/a.txt")), Bytes({'m', 'i', 'n', 'e'}));

    transcript.clear();
    EXPECT_EQ(RunOnConsole(arguments, "y", &transcript), 0) << transcript;
    Bytes a = ReadFile(Path("out/a.txt"));
    EXPECT_EQ(std::string(a.begin(), a.end()), kChainText);
    EXPECT_EQ(List(Path("out")), std::vector<std::string>{"a.txt"});
}

TEST_F(WineToolTest, ArchiveMadeOnWindowsExtractsNativelyAsMadeNatively) {
    MakeTree();
    Outcome create = Windows("create -o " + W("素材.exe") + " " + W("素材"));
    ASSERT_EQ(create.code, 0) << create.err;
    Outcome extract = Native("extract " + Quote(Path("素材.exe")) + " -d " + Quote(Path("出力")));
    ASSERT_EQ(extract.code, 0) << extract.err;
    ExpectSameTree(Path("出力/素材"));
    EXPECT_EQ(List(Path("出力/素材/画像/アイコン")),
              (std::vector<std::string>{"ソース.c", "表示.txt"}));

    // With one fixed time, the same tree gives the same bytes on both systems.
    std::string stub = std::string(QUORVANE_WIN_BUILD) + "/app/quorvane-sfx.exe";
    ASSERT_EQ(Windows("create --mtime 2020-01-02T03:04:05 -o " + W("w.exe") + " " + W("素材")).code,
              0);
    ASSERT_EQ(Native("create --mtime 2020-01-02T03:04:05 --stub " + Quote(stub) + " -o " +
                     Quote(Path("n.exe")) + " " + Quote(Path("素材")))
                  .code,
              0);
    EXPECT_EQ(ReadFile(Path("w.exe")), ReadFile(Path("n.exe")));
}

TEST_F(WineToolTest, CreateOnWindowsRefusesWhatItCannotStore) {
    mkdir(Path("in").c_str(), 0755);
    mkdir(Path("out").c_str(), 0755);
    WriteText(Path("in/fine.txt"), "fine");
    // No code page 932 form; the ANSI calls show it with '?'.
    WriteText(Path("in/smile \xF0\x9F\x98\x80.txt"), "x");
    Outcome create = Windows("create -o " + W("out/a.exe") + " " + W("in"));
    EXPECT_EQ(create.code, 2);
    EXPECT_NE(create.err.find("code page 932"), std::string::npos) << create.err;
    RemoveTree(Path("in/smile \xF0\x9F\x98\x80.txt"));

    // A file of 4 GiB (sparse) is refused before anything is read.
    int big = open(Path("in/big.bin").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(big, 0);
    ASSERT_EQ(ftruncate(big, 0x100000000LL), 0);
    close(big);
    create = Windows("create -o " + W("out/a.exe") + " " + W("in"));
    EXPECT_EQ(create.code, 2);
    EXPECT_NE(create.err.find("big.bin: files of 4 GiB"), std::string::npos) << create.err;
    EXPECT_EQ(List(Path("out")), std::vector<std::string>());

    // A folder as the output is left alone; two names that are one here are
    // both named.
    create = Windows("create -o " + W("out") + " " + W("in"));
    EXPECT_EQ(create.code, 2);
    EXPECT_NE(create.err.find("is a folder"), std::string::npos) << create.err;
    mkdir(Path("twins").c_str(), 0755);
    WriteText(Path("twins/A"), "A");
    WriteText(Path("twins/a"), "a");
    create = Windows("create -o " + W("out/t.exe") + " " + W("twins"));
    EXPECT_EQ(create.code, 2);
    EXPECT_NE(create.err.find("twins\\A and "), std::string::npos) << create.err;
    EXPECT_EQ(List(Path("out")), std::vector<std::string>());
}

TEST_F(WineToolTest, CommandLine) {
    Outcome help = Windows("--help");
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("quorvane create -o OUT.exe"), std::string::npos) << help.out;
    EXPECT_EQ(help.out.find("not available"), std::string::npos) << help.out;

    WriteText(Path("a.txt"), "a");
    EXPECT_EQ(Windows("create " + W("a.txt")).code, 3);  // no -o
    EXPECT_EQ(Windows("create --mtime 2020-13-01 -o " + W("a.qv") + " " + W("a.txt")).code, 3);
    EXPECT_FALSE(Exists(Path("a.qv")));

    EXPECT_EQ(Windows("frobnicate").code, 3);
    EXPECT_EQ(Windows("extract").code, 3);
    EXPECT_EQ(Windows("test " + W("missing.qv")).code, 2);
}

TEST_F(WineToolTest, PatternsStandardOutputAndJsonOnWindows) {
    MakeTree();
    ASSERT_EQ(
        Native("create -o " + Quote(Path("a.qv")) + " --payload-only " + Quote(Path("素材"))).code,
        0);
    // Separators either way; '?' is one double-byte character.
    Outcome some = Windows("extract " + W("a.qv") + " -d " + W("one") +
                           " '素材\\画像/*.c' '素材\\読?でください.txt'");
    ASSERT_EQ(some.code, 0) << some.err;
    EXPECT_EQ(List(Path("one/素材")), (std::vector<std::string>{"画像", "読んでください.txt"}));
    EXPECT_EQ(List(Path("one/素材/画像/アイコン")), std::vector<std::string>{"ソース.c"});

    // Raw output: the bytes as stored, no line ends made CR LF.
    std::string program = Quote(WINE_RUN) + " " + Quote(WINE_PREFIX) + " " + Quote(QUORVANE_EXE);
    Outcome bytes = RunProgram(
        program, "extract -c " + W("a.qv") + " '素材\\画像\\アイコン\\表示.txt'", scratch_);
    EXPECT_EQ(bytes.code, 0) << bytes.err;
    Bytes text = ReadFile(Path("素材/画像/アイコン/表示.txt"));
    EXPECT_TRUE(bytes.out == std::string(text.begin(), text.end())) << bytes.out.size();

    Outcome json = RunProgram(program, "list --json " + W("a.qv"), scratch_);
    ASSERT_EQ(json.code, 0) << json.err;
    WriteText(Path("a.json"), json.out);
    Outcome parsed = RunProgram(
        "python3 -c 'import json,sys; "
        "print(json.load(open(sys.argv[1]))[\"entries\"][1][\"name\"])'",
        Quote(Path("a.json")), scratch_);
    EXPECT_EQ(parsed.out, "素材/画像/\n") << parsed.err << json.out;
}

// Ends the prefix's Wine server once every test has run.
class WineServer : public ::testing::Environment {
public:
    void TearDown() override {
        std::string command = "WINEPREFIX=" + Quote(WINE_PREFIX) + " wineserver -k >/dev/null 2>&1";
        // Fails harmlessly when no server runs any more.
        int ignored = system(command.c_str());
        (void)ignored;
    }
};

const ::testing::Environment* const kWineServer =
    ::testing::AddGlobalTestEnvironment(new WineServer);

}  // namespace
