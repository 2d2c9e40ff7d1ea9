// Hostile input and unlucky users: a folder swapped for a link during the
// extraction, names of 255 bytes, interrupts, named pipes, a dangling
// destination, two names that become one, a temporary folder that cannot be
// used, a write that fails, and the files that reading an archive creates;
// for create, inputs swapped while it runs, an output that is no file to
// replace, and names that are one on Windows.
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "tests/tools/tool_helpers.h"

namespace {

using namespace tool_test;

Bytes ChainText() { return Bytes(kChainText, kChainText + strlen(kChainText)); }

// A payload of `count` entries of 20 bytes each in the folder `folder`.
void WriteManyFiles(const std::string& path, const std::string& folder, int count) {
    std::vector<Crafted> records = {{folder + "\\", ATTRIBUTE_DIRECTORY, 0, Bytes()}};
    for (int i = 0; i < count; i++) {
        char name[32];
        snprintf(name, sizeof name, "\\f%05d.txt", i);
        records.push_back({folder + name, ATTRIBUTE_ARCHIVE, 20, kChainStored});
    }
    WritePayload(path, records);
}

TEST_F(ToolTest, SwappingAFolderForALinkNeverSendsAFileOutside) {
    WriteManyFiles(Path("many.qv"), "d", 1000);
    mkdir(Path("outside").c_str(), 0755);
    std::string d = Path("out/d");
    for (int run = 0; run < 3; run++) {
        SCOPED_TRACE(run);
        RemoveTree(Path("out"));
        Outcome extract = WhileSwappedForLink(d, Path("outside"), [&] {
            return Q("extract " + Quote(Path("many.qv")) + " -d " + Quote(Path("out")));
        });
        EXPECT_TRUE(extract.code == 0 || extract.code == 1) << extract.err;
        ASSERT_EQ(List(Path("outside")), std::vector<std::string>());
    }
}

TEST_F(ToolTest, NamesOf255BytesAreExtractedAndWritten) {
    std::string name = std::string(251, 'n') + ".txt";
    WritePayload(Path("long.qv"), {{name, ATTRIBUTE_ARCHIVE, 20, kChainStored}});
    Outcome extract = Q("extract " + Quote(Path("long.qv")) + " -d " + Quote(Path("out")));
    EXPECT_EQ(extract.code, 0) << extract.err;
    EXPECT_EQ(ReadFile(Path("out/" + name)), ChainText());

    // The output of create may have such a name too.
    WriteText(Path("small.txt"), "small");
    std::string output = Path(std::string(251, 'o') + ".qv");
    Outcome create =
        Q("create -o " + Quote(output) + " --payload-only " + Quote(Path("small.txt")));
    EXPECT_EQ(create.code, 0) << create.err;
    EXPECT_TRUE(Exists(output));
}

// Starts quorvane with `arguments` in the background, its standard error into `errors`.
pid_t StartCapturing(const std::vector<std::string>& arguments, const std::string& errors) {
    pid_t child = fork();
    if (child == 0) {
        int null = open("/dev/null", O_RDWR);
        int error = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(null, 0);
        dup2(null, 1);
        dup2(error, 2);
        std::vector<char*> argv = {const_cast<char*>(QuorvaneBin())};
        for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(QuorvaneBin(), argv.data());
        _exit(127);
    }
    return child;
}

// Starts quorvane with `arguments` in the background, output discarded.
pid_t Start(const std::vector<std::string>& arguments) {
    return StartCapturing(arguments, "/dev/null");
}

// True once `pid` holds a regular file open below `folder`: a file being written.
bool WritesBelow(pid_t pid, const std::string& folder) {
    std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    for (const std::string& fd : List(fds)) {
        char target[4096];
        ssize_t length = readlink((fds + "/" + fd).c_str(), target, sizeof target - 1);
        struct stat info;
        if (length <= 0 || stat((fds + "/" + fd).c_str(), &info) != 0) continue;
        target[length] = 0;
        if (S_ISREG(info.st_mode) && std::string(target).rfind(folder + "/", 0) == 0) return true;
    }
    return false;
}

// Sends `signal` once `pid` writes below `folder`; its exit code, or -1 when
// it ended otherwise or before it could be caught writing.
int InterruptWhileWriting(pid_t pid, const std::string& folder, int signal) {
    bool caught = false;
    for (int i = 0; i < 20000 && !caught; i++) {
        caught = WritesBelow(pid, folder);
        if (!caught) usleep(500);
    }
    if (caught) kill(pid, signal);
    int status = 0;
    waitpid(pid, &status, 0);
    return caught && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(ToolTest, InterruptsLeaveNoPartialFiles) {
    mkdir(Path("in").c_str(), 0755);
    WriteFile(Path("in/big.txt"), Text(8 << 20));
    ASSERT_EQ(Q("create -o " + Quote(Path("big.qv")) + " --payload-only " + Quote(Path("in"))).code,
              0);

    mkdir(Path("out").c_str(), 0755);
    pid_t extract = Start({"extract", Path("big.qv"), "-d", Path("out")});
    EXPECT_EQ(InterruptWhileWriting(extract, Path("out"), SIGINT), 130);
    EXPECT_EQ(List(Path("out")), std::vector<std::string>{"in"});
    EXPECT_EQ(List(Path("out/in")), std::vector<std::string>());

    mkdir(Path("made").c_str(), 0755);
    pid_t create = Start({"create", "-o", Path("made/big.qv"), "--payload-only", Path("in")});
    EXPECT_EQ(InterruptWhileWriting(create, Path("made"), SIGTERM), 143);
    EXPECT_EQ(List(Path("made")), std::vector<std::string>());

    // A second signal ends the program at once, and still takes the partial
    // output along. Both arrive together: the program is stopped meanwhile.
    create = Start({"create", "-o", Path("made/big.qv"), "--payload-only", Path("in")});
    bool caught = false;
    for (int i = 0; i < 20000 && !caught; i++) {
        caught = WritesBelow(create, Path("made"));
        if (!caught) usleep(500);
    }
    ASSERT_TRUE(caught) << "create ended before it could be interrupted";
    kill(create, SIGSTOP);
    kill(create, SIGINT);
    kill(create, SIGTERM);
    kill(create, SIGCONT);
    int status = 0;
    waitpid(create, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && (WEXITSTATUS(status) == 130 || WEXITSTATUS(status) == 143))
        << status;
    EXPECT_EQ(List(Path("made")), std::vector<std::string>());
}

// The exit code of `pid`, or -1 when it still runs after `seconds` (then it is killed).
int WaitAtMost(pid_t pid, int seconds) {
    int status = 0;
    for (int i = 0; i < seconds * 100; i++) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

// While create reads a large file, the file listed after it is swapped for a
// link to a private file of the same size and time, or for a named pipe.
TEST_F(ToolTest, CreateNeverReadsWhatIsSwappedInWhileItRuns) {
    WriteText(Path("secret"), "private");
    for (bool pipe : {false, true}) {
        SCOPED_TRACE(pipe ? "pipe" : "link");
        RemoveTree(Path("in"));
        RemoveTree(Path("made"));
        mkdir(Path("in").c_str(), 0755);
        mkdir(Path("made").c_str(), 0755);
        WriteFile(Path("in/a.bin"), Text(8 << 20));  // streamed, not read whole at once
        WriteText(Path("in/z"), "listed!");
        struct stat listed;
        ASSERT_EQ(stat(Path("in/z").c_str(), &listed), 0);
        SetTimes(Path("secret"), listed.st_atim, listed.st_mtim);

        pid_t create = StartCapturing(
            {"create", "-o", Path("made/s.qv"), "--payload-only", Path("in")}, Path("errors"));
        bool reading = false;
        for (int i = 0; i < 20000 && !reading; i++) {
            reading = WritesBelow(create, Path("in"));
            if (!reading) usleep(500);
        }
        ASSERT_TRUE(reading) << "create ended before the swap";
        unlink(Path("in/z").c_str());
        if (pipe) {
            ASSERT_EQ(mkfifo(Path("in/z").c_str(), 0600), 0);
        } else {
            ASSERT_EQ(symlink(Path("secret").c_str(), Path("in/z").c_str()), 0);
        }
        EXPECT_EQ(WaitAtMost(create, 60), 2) << "-1: it hung or was killed";
        Bytes errors = ReadFile(Path("errors"));
        EXPECT_NE(std::string(errors.begin(), errors.end()).find("in/z"), std::string::npos);
        EXPECT_EQ(List(Path("made")), std::vector<std::string>());
    }
}

// The output is a file to replace, or nothing yet. Whatever else stands
// there is left as it is, and so is every input.
TEST_F(ToolTest, CreateReplacesOnlyAFileThatIsNoInput) {
    mkdir(Path("in").c_str(), 0755);
    WriteText(Path("in/f.txt"), "input");
    WriteText(Path("target.qv"), "keep");
    ASSERT_EQ(mkfifo(Path("pipe.qv").c_str(), 0600), 0);
    mkdir(Path("folder.qv").c_str(), 0755);
    ASSERT_EQ(symlink(Path("target.qv").c_str(), Path("link.qv").c_str()), 0);
    ASSERT_EQ(link(Path("in/f.txt").c_str(), Path("hard.qv").c_str()), 0);
    std::vector<std::string> outputs = {"pipe.qv", "folder.qv", "link.qv", "hard.qv"};
    // A character device, as a copy of /dev/null: only root may make one.
    if (mknod(Path("null.qv").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0)
        outputs.push_back("null.qv");
    for (const std::string& output : outputs) {
        SCOPED_TRACE(output);
        struct stat before, after;
        ASSERT_EQ(lstat(Path(output).c_str(), &before), 0);
        Outcome create = RunProgram(
            "timeout 20 " + std::string(QuorvaneBin()),
            "create --payload-only -o " + Quote(Path(output)) + " " + Quote(Path("in")), scratch_);
        EXPECT_EQ(create.code, 2) << create.err;
        EXPECT_NE(create.err.find(output == "hard.qv" ? "in/f.txt" : output), std::string::npos)
            << create.err;
        ASSERT_EQ(lstat(Path(output).c_str(), &after), 0);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_ino, before.st_ino);
    }
    EXPECT_EQ(ReadFile(Path("target.qv")), Bytes({'k', 'e', 'e', 'p'}));
    EXPECT_EQ(List(Path("folder.qv")), std::vector<std::string>());

    // An input named as the output; an earlier archive inside the folder it
    // packs is replaced and not packed into itself.
    EXPECT_EQ(
        Q("create --payload-only -o " + Quote(Path("in/f.txt")) + " " + Quote(Path("in/f.txt")))
            .code,
        2);
    EXPECT_EQ(ReadFile(Path("in/f.txt")), Bytes({'i', 'n', 'p', 'u', 't'}));
    for (int run = 0; run < 2; run++)
        ASSERT_EQ(
            Q("create --payload-only -o " + Quote(Path("in/a.qv")) + " " + Quote(Path("in"))).code,
            0);
    Outcome list = Q("list " + Quote(Path("in/a.qv")));
    EXPECT_NE(list.out.find("f.txt"), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find("a.qv"), std::string::npos) << list.out;
    EXPECT_EQ(List(Path("in")), (std::vector<std::string>{"a.qv", "f.txt"}));
}

// Names that are one file on Windows, where case does not count (full-width
// letters included): both are named and nothing is written.
TEST_F(ToolTest, CreateRefusesNamesThatAreOneOnWindows) {
    for (std::vector<std::string> names :
         {std::vector<std::string>{"A", "a"}, std::vector<std::string>{"Ｆ", "ｆ"}}) {
        RemoveTree(Path("t"));
        mkdir(Path("t").c_str(), 0755);
        for (const std::string& name : names) WriteText(Path("t/" + name), name);
        Outcome create =
            Q("create --payload-only -o " + Quote(Path("t.qv")) + " " + Quote(Path("t")));
        EXPECT_EQ(create.code, 2) << create.err;
        EXPECT_NE(create.err.find("one name on Windows"), std::string::npos) << create.err;
        EXPECT_NE(create.err.find(Path("t/" + names[0]) + " and "), std::string::npos)
            << create.err;
        EXPECT_FALSE(Exists(Path("t.qv")));
    }
}

TEST_F(ToolTest, NamedPipesAndDevicesAreRefusedAtOnce) {
    ASSERT_EQ(mkfifo(Path("pipe").c_str(), 0600), 0);
    // Each run is bounded: a tool that opens the pipe for reading waits for ever.
    for (std::string command :
         {std::string("list"), std::string("test"), "extract -d " + Quote(Path("out"))}) {
        Outcome run = RunProgram("timeout 20 " + std::string(QuorvaneBin()),
                                 command + " " + Quote(Path("pipe")), scratch_);
        EXPECT_EQ(run.code, 2) << command << ": " << run.err;
        EXPECT_NE(run.err.find("not a regular file"), std::string::npos) << run.err;
    }
    EXPECT_EQ(Q("list /dev/null").code, 2);
    EXPECT_FALSE(Exists(Path("out")));
}

TEST_F(ToolTest, ADanglingLinkAsDestinationIsRefusedAndNothingIsWritten) {
    WritePayload(Path("a.qv"), {{"a.txt", ATTRIBUTE_ARCHIVE, 20, kChainStored}});
    ASSERT_EQ(symlink(Path("nowhere/x").c_str(), Path("dest").c_str()), 0);
    Outcome extract = Q("extract " + Quote(Path("a.qv")) + " -d " + Quote(Path("dest")));
    EXPECT_EQ(extract.code, 2);
    EXPECT_NE(extract.err.find("cannot be made"), std::string::npos) << extract.err;
    EXPECT_FALSE(Exists(Path("nowhere")));
}

TEST_F(ToolTest, AnUnusableTemporaryFolderStopsNeitherTestNorExtract) {
    WritePayload(Path("a.qv"), {{"a.txt", ATTRIBUTE_ARCHIVE, 20, kChainStored}});
    setenv("TMPDIR", Path("no/such/folder").c_str(), 1);
    EXPECT_EQ(Q("test " + Quote(Path("a.qv"))).code, 0);
    Outcome extract = Q("extract " + Quote(Path("a.qv")) + " -d " + Quote(Path("out")));
    EXPECT_EQ(extract.code, 0) << extract.err;
    EXPECT_EQ(ReadFile(Path("out/a.txt")), ChainText());
}

// Names created in the folders that `watch` (an inotify descriptor) watches,
// read without waiting; the files in which RunProgram catches the tool's
// output are left out.
std::vector<std::string> CreatedSinceLastLook(int watch) {
    std::vector<std::string> created;
    alignas(inotify_event) char buffer[8192];
    ssize_t got;
    while ((got = read(watch, buffer, sizeof buffer)) > 0) {
        for (char* at = buffer; at < buffer + got;) {
            const inotify_event* event = (const inotify_event*)at;
            std::string name = event->len ? event->name : "?";
            if (name != ".stdout" && name != ".stderr") created.push_back(name);
            at += sizeof(inotify_event) + event->len;
        }
    }
    return created;
}

TEST_F(ToolTest, ReadingAnArchiveCreatesNoFileOutsideTheDestination) {
    // Deep names: every name part of every entry once cost a trial file.
    std::string deep, local;
    for (int part = 0; part < 60; part++) {
        deep += "p\\";
        local += "p/";
    }
    WritePayload(Path("a.qv"), {{deep + "x.txt", ATTRIBUTE_ARCHIVE, 20, kChainStored},
                                {deep + "y.txt", ATTRIBUTE_ARCHIVE, 0, Bytes()}});
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    const uint32_t creations = IN_CREATE | IN_MOVED_TO;
    ASSERT_GE(inotify_add_watch(watch, temporary_.c_str(), creations), 0);
    ASSERT_GE(inotify_add_watch(watch, scratch_.c_str(), creations), 0);

    EXPECT_EQ(Q("list " + Quote(Path("a.qv"))).code, 0);
    EXPECT_EQ(Q("test " + Quote(Path("a.qv"))).code, 0);
    EXPECT_EQ(CreatedSinceLastLook(watch), std::vector<std::string>());
    Outcome extract = Q("extract " + Quote(Path("a.qv")) + " -d " + Quote(Path("out")));
    EXPECT_EQ(extract.code, 0) << extract.err;
    EXPECT_EQ(CreatedSinceLastLook(watch), std::vector<std::string>{"out"});
    EXPECT_EQ(ReadFile(Path("out/" + local + "x.txt")), ChainText());
    close(watch);
}

TEST_F(ToolTest, TwoCodesForOneCharacterCollideAndBothAreNamed) {
    // 87 54 (NEC) and FA 4A (IBM) are both Roman numeral one.
    WritePayload(Path("twins.qv"), {{"\x87\x54.txt", ATTRIBUTE_ARCHIVE, 20, kChainStored},
                                    {"\xFA\x4A.txt", ATTRIBUTE_ARCHIVE, 20, kChainStored}});
    Outcome extract = Q("extract " + Quote(Path("twins.qv")) + " -d " + Quote(Path("out")));
    EXPECT_EQ(extract.code, 1);
    EXPECT_NE(extract.err.find("collide"), std::string::npos) << extract.err;
    EXPECT_NE(extract.err.find("\\xFAJ.txt"), std::string::npos) << extract.err;
    EXPECT_NE(extract.err.find("\\x87T.txt"), std::string::npos) << extract.err;
    EXPECT_EQ(List(Path("out")), std::vector<std::string>{"\u2160.txt"});
}

TEST_F(ToolTest, AFailingWriteIsNamedAndNeverCalledDamaged) {
    mkdir(Path("in").c_str(), 0755);
    WriteFile(Path("in/noise.bin"), Noise(300000, 3));
    ASSERT_EQ(Q("create -o " + Quote(Path("n.qv")) + " --payload-only " + Quote(Path("in"))).code,
              0);
    // Files may grow to 100 KiB only; the signal that would end the program is ignored.
    Outcome extract =
        RunProgram("trap '' XFSZ; ulimit -f 100; " + std::string(QuorvaneBin()),
                   "extract " + Quote(Path("n.qv")) + " -d " + Quote(Path("out")), scratch_);
    EXPECT_EQ(extract.code, 1);
    EXPECT_NE(extract.err.find("cannot write into"), std::string::npos) << extract.err;
    EXPECT_EQ(extract.err.find("damaged"), std::string::npos) << extract.err;
    EXPECT_EQ(List(Path("out/in")), std::vector<std::string>());

    // Every failed write gives the system's reason: extract, extract -c onto
    // a full device, and create (on one thread the stored bytes are streamed).
    EXPECT_NE(extract.err.find("File too large"), std::string::npos) << extract.err;
    Outcome full = RunProgram("sh -c",
                              Quote(std::string(QuorvaneBin()) + " extract -c " +
                                    Quote(Path("n.qv")) + " in/noise.bin >/dev/full"),
                              scratch_);
    EXPECT_EQ(full.code, 1);
    EXPECT_NE(full.err.find("No space left on device"), std::string::npos) << full.err;
    Outcome create = RunProgram(
        "trap '' XFSZ; ulimit -f 100; " + std::string(QuorvaneBin()),
        "create -j 1 --payload-only -o " + Quote(Path("made.qv")) + " " + Quote(Path("in")),
        scratch_);
    EXPECT_EQ(create.code, 2);
    EXPECT_NE(create.err.find("File too large"), std::string::npos) << create.err;
    EXPECT_EQ(List(scratch_), (std::vector<std::string>{"in", "n.qv", "out", "temp"}));
}

}  // namespace
