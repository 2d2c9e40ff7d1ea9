// What the command line offers beyond create, list, test and extract: names
// and patterns, extract -c, list --json, -q and -v, "--", progress on a
// terminal only, help, and plain answers to wrong commands and wrong files.
#include <pty.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/tools/tool_helpers.h"

namespace {

using namespace tool_test;

class CommandLineTest : public ToolTest {
protected:
    // The Japanese tree as a bare payload, a.qv.
    void MakeArchive() {
        MakeTree();
        Outcome create =
            Q("create -o " + Quote(Path("a.qv")) + " --payload-only " + Quote(Path("素材")));
        ASSERT_EQ(create.code, 0) << create.err;
    }
};

TEST_F(CommandLineTest, NamesAndPatternsChooseEntriesWithTheirFolders) {
    MakeArchive();
    std::string base = "extract " + Quote(Path("a.qv")) + " -d ";
    // '*' crosses '/', '?' is one character (here a Japanese one), a folder
    // brings what it holds.
    Outcome some = Q(base + Quote(Path("one")) + " '*.c' '素材/読?でください.txt'");
    ASSERT_EQ(some.code, 0) << some.err;
    EXPECT_EQ(List(Path("one/素材")), (std::vector<std::string>{"画像", "読んでください.txt"}));
    EXPECT_EQ(List(Path("one/素材/画像")), std::vector<std::string>{"アイコン"});
    EXPECT_EQ(List(Path("one/素材/画像/アイコン")), std::vector<std::string>{"ソース.c"});
    // Folder times are restored for the folders that came with a file.
    struct stat folder;
    ASSERT_EQ(stat(Path("one/素材/画像/アイコン").c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mtim.tv_sec, 1100000000 + 7);

    Outcome folder_named = Q(base + Quote(Path("two")) + " 素材/画像/");
    ASSERT_EQ(folder_named.code, 0) << folder_named.err;
    EXPECT_EQ(ReadFile(Path("two/素材/画像/雑音.bin")), ReadFile(Path("素材/画像/雑音.bin")));
    EXPECT_FALSE(Exists(Path("two/素材/空.dat")));

    // What matched is extracted; a pattern that matched nothing is an error.
    Outcome missing = Q(base + Quote(Path("three")) + " 素材/空.dat 'nothing*'");
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.err.find("nothing*: no entry matches"), std::string::npos) << missing.err;
    EXPECT_TRUE(Exists(Path("three/素材/空.dat")));
}

TEST_F(CommandLineTest, StandardOutputTakesOneEntrysBytes) {
    MakeArchive();
    Outcome one = Q("extract -c " + Quote(Path("a.qv")) + " 素材/画像/雑音.bin");
    EXPECT_EQ(one.code, 0) << one.err;
    Bytes noise = ReadFile(Path("素材/画像/雑音.bin"));
    EXPECT_EQ(one.out, std::string(noise.begin(), noise.end()));
    EXPECT_FALSE(Exists(Path("a")));
    EXPECT_EQ(Q("extract -c " + Quote(Path("a.qv"))).code, 3);
    EXPECT_EQ(Q("extract -c " + Quote(Path("a.qv")) + " nothing").code, 1);

    // A damaged entry: a message, exit 1.
    WritePayload(Path("d.qv"), {{"d.txt", ATTRIBUTE_ARCHIVE, 21, kChainStored}});
    Outcome damaged = Q("extract --stdout " + Quote(Path("d.qv")) + " d.txt");
    EXPECT_EQ(damaged.code, 1);
    EXPECT_NE(damaged.err.find("d.txt"), std::string::npos) << damaged.err;
}

TEST_F(CommandLineTest, JsonListingIsValidAndComplete) {
    WritePayload(Path("j.qv"), {{"\x83\x5C q.txt", ATTRIBUTE_ARCHIVE | ATTRIBUTE_READONLY | 0x06,
                                 20, kChainStored},
                                {"dir\\", ATTRIBUTE_DIRECTORY, 0, Bytes()}});
    Outcome json = Q("list --json " + Quote(Path("j.qv")));
    ASSERT_EQ(json.code, 0) << json.err;
    WriteText(Path("j.json"), json.out);
    // Python's parser is the referee; it prints what the test compares.
    Outcome parsed = RunProgram(
        "python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); e=d[\"entries\"]; "
        "print(e[0][\"name\"], e[0][\"name_hex\"], e[0][\"attributes\"], "
        "e[0][\"last_write_time\"], "
        "e[0][\"rescale_rule\"], e[1][\"kind\"], d[\"files\"], d[\"folders\"])'",
        Quote(Path("j.json")), scratch_);
    ASSERT_EQ(parsed.code, 0) << parsed.err << json.out;
    EXPECT_EQ(parsed.out,
              "ソ q.txt 835c20712e747874 ['readonly', 'hidden', 'system', 'archive'] "
              "2012-12-14T23:06:40Z even folder 1 1\n");
}

TEST_F(CommandLineTest, QuietVerboseCountsAndTheEndOfOptions) {
    WriteText(Path("-x.txt"), "dash");
    Outcome create = RunProgram("cd " + Quote(scratch_) + " && " + QuorvaneBin(),
                                "create -q -o q.qv --payload-only -- -x.txt", scratch_);
    ASSERT_EQ(create.code, 0) << create.err;
    EXPECT_EQ(create.out, "");
    EXPECT_NE(Q("list " + Quote(Path("q.qv"))).out.find("1 file, 0 folders"), std::string::npos);
    EXPECT_EQ(Q("test -q " + Quote(Path("q.qv"))).out, "");
    Outcome verbose = Q("extract -v " + Quote(Path("q.qv")) + " -d " + Quote(Path("out")));
    EXPECT_EQ(verbose.out, "-x.txt\n");
    EXPECT_EQ(Q("test -q -v " + Quote(Path("q.qv"))).code, 3);
}

// Terminal columns of UTF-8 text, Japanese characters two each.
int Columns(const std::string& text) {
    int columns = 0;
    for (unsigned char c : text) columns += (c & 0xC0) == 0x80 ? 0 : c >= 0xE0 ? 2 : 1;
    return columns;
}

TEST_F(CommandLineTest, ProgressOnlyOnATerminalFittedToItsWidth) {
    std::string name = "とても長い名前のフォルダ/その中のもっと長い名前のファイル.txt";
    mkdir(Path("in").c_str(), 0755);
    mkdir(Path("in/とても長い名前のフォルダ").c_str(), 0755);
    WriteFile(Path("in/") + name, Text(12 << 20));
    ASSERT_EQ(Q("create -o " + Quote(Path("big.qv")) + " --payload-only " + Quote(Path("in"))).code,
              0);
    Outcome piped = Q("test " + Quote(Path("big.qv")));
    EXPECT_EQ(piped.err, "");

    int terminal = -1;
    struct winsize size = {};
    size.ws_row = 24;
    size.ws_col = 50;
    pid_t child = forkpty(&terminal, nullptr, nullptr, &size);
    ASSERT_GE(child, 0);
    // create, slower than test, draws the line several times.
    if (child == 0) {
        if (chdir(scratch_.c_str()) == 0)
            execl(QuorvaneBin(), QuorvaneBin(), "create", "-j", "1", "-o", "again.qv",
                  "--payload-only", "in", (char*)nullptr);
        _exit(127);
    }
    std::string seen;
    char buffer[4096];
    ssize_t got;
    while ((got = read(terminal, buffer, sizeof buffer)) > 0) seen.append(buffer, (size_t)got);
    close(terminal);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0) << seen;
    EXPECT_NE(seen.find("% "), std::string::npos) << seen;
    // Every progress line stays within 49 columns, so none wraps; the name
    // keeps its start and its end.
    for (size_t at = 0, end; at < seen.size(); at = end + 1) {
        end = seen.find_first_of("\r\n", at);
        if (end == std::string::npos) end = seen.size();
        std::string line = seen.substr(at, end - at);
        if (line.find("%  ") != std::string::npos) {
            EXPECT_LE(Columns(line), 49) << line;
        }
    }
    EXPECT_NE(seen.find("in/とても"), std::string::npos) << seen;
    EXPECT_NE(seen.find("...のファイル.txt"), std::string::npos) << seen;
}

TEST_F(CommandLineTest, ExcludeLeavesOutOnCreateListAndExtractAndListTakesNames) {
    mkdir(Path("in").c_str(), 0755);
    mkdir(Path("in/raw").c_str(), 0755);
    for (const char* name : {"in/a.txt", "in/b.tmp", "in/raw/c.txt"}) WriteText(Path(name), name);
    // A folder named by an exclude goes with everything in it.
    Outcome create = QIn(scratch_,
                         "create -v -o x.qv --payload-only --exclude '*.tmp' "
                         "--exclude in/raw in");
    ASSERT_EQ(create.code, 0) << create.err;
    EXPECT_EQ(create.out, "in/\nin/a.txt\n");

    ASSERT_EQ(QIn(scratch_, "create -q -o all.qv --payload-only in").code, 0);
    Outcome list = QIn(scratch_, "list -q all.qv in/raw 'in/*.txt' --exclude in/raw/c.txt");
    EXPECT_EQ(list.code, 0) << list.err;
    EXPECT_NE(list.out.find("in/a.txt\n"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("in/raw/\n"), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find(".tmp"), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find("c.txt"), std::string::npos) << list.out;
    Outcome unmatched = QIn(scratch_, "list -q all.qv in/nothing");
    EXPECT_EQ(unmatched.code, 1);
    EXPECT_EQ(unmatched.err, "quorvane: in/nothing: no entry matches\n");

    Outcome extract = QIn(scratch_, "extract all.qv -d out --exclude 'in/raw/*' --exclude '*.tmp'");
    EXPECT_EQ(extract.code, 0) << extract.err;
    EXPECT_EQ(List(Path("out/in")), (std::vector<std::string>{"a.txt", "raw"}));
    EXPECT_EQ(List(Path("out/in/raw")), std::vector<std::string>());
}

TEST_F(CommandLineTest, CreateReadsInputsFromDashCAndAnArchiveComesFromStandardInput) {
    mkdir(Path("in").c_str(), 0755);
    mkdir(Path("in/sub").c_str(), 0755);
    WriteText(Path("in/sub/a.txt"), "a");
    // The output is named from here, the inputs from -C's folder.
    Outcome create = QIn(scratch_, "create -v -C in -o c.qv --payload-only sub");
    ASSERT_EQ(create.code, 0) << create.err;
    EXPECT_EQ(create.out, "sub/\nsub/a.txt\n");
    EXPECT_TRUE(Exists(Path("c.qv")));

    // Standard input from the archive, inside braces, where RunProgram's own
    // redirection cannot override it.
    auto from_input = [&](const std::string& arguments) {
        return RunProgram("cd " + Quote(scratch_) + " && { cat c.qv | " + Quote(QuorvaneBin()),
                          arguments + "; }", scratch_);
    };
    Outcome list = from_input("list -q -");
    EXPECT_EQ(list.code, 0) << list.err;
    EXPECT_EQ(list.err, "");
    EXPECT_NE(list.out.find("sub/a.txt"), std::string::npos) << list.out;
    Outcome extract = from_input("extract - -d out");
    EXPECT_EQ(extract.code, 0) << extract.err;
    EXPECT_EQ(ReadFile(Path("out/sub/a.txt")), Bytes({'a'}));
}

TEST_F(CommandLineTest, CreateWritesToStandardOutputAndStoresPathsUnderNamesGiven) {
    mkdir(Path("in").c_str(), 0755);
    mkdir(Path("in/sub").c_str(), 0755);
    WriteText(Path("in/a.txt"), "a");
    WriteText(Path("in/sub/b.txt"), "b");
    // -v names go to standard error when the archive takes standard output.
    Outcome create = RunProgram(
        "cd " + Quote(scratch_) + " && { " + Quote(QuorvaneBin()),
        "create -v --payload-only -o - in/a.txt=docs/readme.txt in/sub=other > x.qv; }", scratch_);
    ASSERT_EQ(create.code, 0) << create.err;
    EXPECT_EQ(create.out, "");
    EXPECT_NE(create.err.find("other/b.txt\n"), std::string::npos) << create.err;
    Outcome list = QIn(scratch_, "list -q x.qv");
    EXPECT_EQ(list.code, 0) << list.err;
    EXPECT_NE(list.out.find(" docs/readme.txt\n"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find(" other/b.txt\n"), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find("in/"), std::string::npos) << list.out;
}

TEST_F(CommandLineTest, ListColumnsStayAlignedForRatiosOf1000PercentAndMore) {
    // Stored 22 bytes for 20, for 1, and 2000 junk bytes for 1 (list decodes nothing).
    WritePayload(Path("r.qv"), {{"small.txt", ATTRIBUTE_ARCHIVE, 20, kChainStored},
                                {"grown.txt", ATTRIBUTE_ARCHIVE, 1, kChainStored},
                                {"huge.txt", ATTRIBUTE_ARCHIVE, 1, Bytes(2000, 7)}});
    Outcome list = Q("list " + Quote(Path("r.qv")));
    ASSERT_EQ(list.code, 0) << list.err;
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = list.out.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(list.out.substr(at, end - at));
    ASSERT_EQ(lines.size(), 5u) << list.out;
    size_t column = lines[0].find("Last write");
    for (size_t i = 1; i <= 3; i++) EXPECT_EQ(lines[i].find("2012-"), column) << list.out;
    EXPECT_NE(lines[2].find(" 2200%"), std::string::npos) << list.out;
}

TEST_F(CommandLineTest, MistypedCommandsAndOptionsGetTheClosestAndEachCommandItsHelp) {
    Outcome typo = Q("x a.exe");
    EXPECT_EQ(typo.code, 3);
    EXPECT_EQ(typo.err,
              "quorvane: unknown command 'x'; did you mean 'extract'?\n"
              "Try 'quorvane help'.\n");
    EXPECT_NE(Q("--versoin").err.find("unknown option '--versoin'; did you mean '--version'?"),
              std::string::npos);
    Outcome option = Q("extract --overwirte a.exe");
    EXPECT_EQ(option.code, 3);
    EXPECT_EQ(option.err,
              "quorvane: unknown option '--overwirte' for extract; did you mean "
              "'--overwrite'?\nTry 'quorvane help extract'.\n");

    Outcome all = Q("help");
    EXPECT_EQ(all.code, 0);
    EXPECT_NE(all.out.find("Exit status"), std::string::npos);
    Outcome one = Q("help extract");
    EXPECT_EQ(one.code, 0);
    EXPECT_EQ(one.out.rfind("Usage: quorvane extract FILE", 0), 0u) << one.out;
    EXPECT_EQ(one.out.find("quorvane create"), std::string::npos) << one.out;
    EXPECT_EQ(Q("extract --help").out, one.out);
    EXPECT_EQ(Q("help lst").err.find("unknown command 'lst'; did you mean 'list'?"), 10u);
}

TEST_F(CommandLineTest, AFileWithoutEntriesIsSaidEvenWhenQuietAndExtractsNothing) {
    WriteFile(Path("empty.exe"), Bytes());
    std::vector<std::pair<std::string, std::string>> cases = {{"empty.exe", "the file is empty"}};
#ifdef SAMPLE_STUB
    WriteFile(Path("stub.exe"), ReadFile(SAMPLE_STUB));
    cases.push_back({"stub.exe", "nothing follows the executable"});
#endif
    for (const auto& [file, why] : cases) {
        std::string note = "quorvane: " + file + " holds no entries (" + why +
                           "; is it a self-extracting archive?)\n";
        Outcome test = QIn(scratch_, "test -q " + file);
        EXPECT_EQ(test.code, 0);
        EXPECT_EQ(test.err, note);
        EXPECT_EQ(test.out, "");
        Outcome extract = QIn(scratch_, "extract " + file);
        EXPECT_EQ(extract.code, 0);
        EXPECT_EQ(extract.err, note);
        EXPECT_FALSE(Exists(Path(file.substr(0, file.find('.')))));
    }
}

TEST_F(CommandLineTest, CommonFormatsAreNamedAndStoredBytesShownOnOneShortLine) {
    std::string zip = "PK\x03\x04" + std::string(600, '\x01');
    WriteFile(Path("x.zip"), Bytes(zip.begin(), zip.end()));
    WriteFile(Path("x.gz"), {0x1F, 0x8B, 0x08, 0x00});
    for (const auto& [file, kind] : std::vector<std::pair<std::string, std::string>>{
             {"x.zip", "a zip archive"}, {"x.gz", "a gzip file"}}) {
        Outcome test = QIn(scratch_, "test " + file);
        EXPECT_EQ(test.code, 2);
        EXPECT_EQ(test.err,
                  "quorvane: " + file + " is " + kind + ", not a self-extracting archive\n");
    }
    EXPECT_NE(Q("list " + Quote(QuorvaneBin())).err.find("is an ELF program or library, not a"),
              std::string::npos);

    // A payload of no known kind whose first name is 255 bytes of junk, the
    // first part of it 100 bytes long.
    std::string junk(255, '\x07');
    junk[100] = '\\';
    WritePayload(Path("junk.qv"), {{junk, 0, 0, {}}});
    Outcome refused = QIn(scratch_, "test junk.qv");
    EXPECT_EQ(refused.code, 2);
    EXPECT_LT(refused.err.size(), 250u) << refused.err;
    EXPECT_NE(refused.err.find("... (100 bytes)\" could lead outside"), std::string::npos)
        << refused.err;
}

}  // namespace
