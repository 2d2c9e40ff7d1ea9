// The validation walk over a whole payload.
#include <string.h>

#include <gtest/gtest.h>

#include "payload/validation.h"
#include "support.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

const Bytes kStub(100, 0x90);  // stands in for the executable in front of the payload

class ValidationTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = MakeScratchFolder();
        temporary_ = JoinPath(folder_, "temp");
        MakeFolder(temporary_);
        UseTemporaryFolder(temporary_);
        path_ = JoinPath(folder_, "archive.exe");
    }
    void TearDown() override {
        // The trial files are gone again; only what a test put there remains.
        EXPECT_EQ(ListFolder(temporary_), expected_leftovers_);
        RemoveTree(folder_);
    }

    int Check(const Bytes& whole_file, uint32_t start) {
        WriteWholeFile(path_, whole_file);
        return CheckFile(start);
    }
    int CheckFile(uint32_t start) {
        FileHandle file;
        OpenForReading(path_.c_str(), &file);
        EXPECT_NE(file, NO_FILE);
        int result = ZevCheckArchive(file, start);
        CloseFile(file);
        return result;
    }
    int CheckRecords(const std::vector<TestRecord>& records) {
        WritePayload(path_, kStub, records);
        return CheckFile((uint32_t)kStub.size());
    }
    int CheckName(const std::string& name) { return CheckRecords({File(name, Bytes(3, 1), 9)}); }

    std::string folder_, temporary_, path_;
    std::vector<std::string> expected_leftovers_;
};

// A source whose every read fails, for the system's reason 5.
Status ReadFailsWithFive(void*, uint64_t, void*, uint32_t, uint32_t* got) {
    *got = 0;
    return Failed(CAUSE_READ_FAILED, 5);
}

TEST(PayloadReading, AFailedReadKeepsItsNumberAndIsNoFault) {
    SourceCalls calls = {ReadFailsWithFive, 100, NULL};
    ByteSource source = CallsSource(&calls);
    EntryRecord record;
    bool at_end = false;
    Status read = ReadEntryRecordFrom(&source, &record, &at_end);
    EXPECT_EQ(read.cause, CAUSE_READ_FAILED);
    EXPECT_EQ(read.system_error, 5u);
    PayloadRefusal refusal;
    source = CallsSource(&calls);
    Status walked = WalkPayload(&source, 0, NameRules(), NULL, NULL, &refusal);
    EXPECT_EQ(walked.cause, CAUSE_READ_FAILED);
    EXPECT_EQ(walked.system_error, 5u);
    EXPECT_EQ(refusal.fault, PAYLOAD_SOUND);
}

TEST_F(ValidationTest, PayloadStartAgainstFileSize) {
    EXPECT_EQ(Check(kStub, 100), 1);  // empty payload
    EXPECT_EQ(Check(kStub, 101), 0);  // one byte beyond the end
    EXPECT_EQ(Check(Bytes(), 0), 1);
    EXPECT_EQ(Check(Bytes(), 1), 0);
}

TEST_F(ValidationTest, StoredBytesMustEndInsideTheFile) {
    WritePayload(path_, kStub, {Folder("image\\"), File("image\\a.ico", Bytes(89, 7), 318)});
    EXPECT_EQ(CheckFile(100), 1);  // the last stored byte is the last byte of the file

    Bytes whole = ReadWholeFile(path_);
    whole.pop_back();  // now one byte short
    EXPECT_EQ(Check(whole, 100), 0);

    // A storedSize claiming one byte more than there is.
    TestRecord greedy = File("a.ico", Bytes(89, 7), 318);
    greedy.stored_size = 90;
    EXPECT_EQ(CheckRecords({greedy}), 0);
}

TEST_F(ValidationTest, RecordsCutShortAreBroken) {
    WritePayload(path_, kStub, {File("image.ico", Bytes(), 0)});
    Bytes whole = ReadWholeFile(path_);
    ASSERT_EQ(whole.size(), 100u + 35 + 9);
    // Every cut from inside the name, through the 30 skipped bytes, to inside
    // storedSize; a cut right before the record leaves an empty payload.
    for (size_t keep = 1; keep < 35 + 9; keep++) {
        Bytes cut(whole.begin(), whole.begin() + 100 + keep);
        EXPECT_EQ(Check(cut, 100), 0) << "record cut after " << keep << " bytes";
    }
    EXPECT_EQ(Check(whole, 100), 1);
}

TEST_F(ValidationTest, NameLengthZeroIsBroken) {
    Bytes zero_first = kStub;
    zero_first.insert(zero_first.end(), 35, 0);
    EXPECT_EQ(Check(zero_first, 100), 0);

    // Also as the very last byte of the file, behind a sound record.
    WritePayload(path_, kStub, {Folder("a\\")});
    Bytes zero_last = ReadWholeFile(path_);
    zero_last.push_back(0);
    EXPECT_EQ(Check(zero_last, 100), 0);
}

TEST_F(ValidationTest, ComponentsTheSystemRefusesAreBroken) {
    // A colon is refused before any trial; '?' is refused by the same rule,
    // so that every system comes to the answer Windows gives.
    EXPECT_EQ(CheckName("a:b"), 0);
    EXPECT_EQ(CheckName("dir\\a?b"), 0);
    EXPECT_EQ(CheckName("dir\\a*b.txt"), 0);
    EXPECT_EQ(CheckName("ok\\fine.txt"), 1);
}

// The library's rules are the stricter check: what they accept, the trial
// files accept too, on this system as under Windows. They refuse besides a
// dot or space at the end of a name part, which the system strips.
TEST_F(ValidationTest, NameRulesAcceptOnlyWhatTheTrialAccepts) {
    const char* names[] = {"a.txt", "docs\\a.txt", ".hidden",  " a",    "a b", "COM0",  "CLOCK$",
                           "x\x7F", "\xA5",        "\x95\x5C", "\x81|", "a.",  "a \\b", "a.b."};
    int refused_by_rules_only = 0;
    for (const char* name : names) {
        EntryRecord record = {};
        record.nameLength = (uint8_t)strlen(name);
        memcpy(record.name, name, record.nameLength);
        uint8_t bytes[RECORD_MAX_SIZE];
        ByteSource source = MemorySource(bytes, EncodeEntryRecord(&record, bytes));
        bool rules = WalkPayload(&source, 0, NameRules(), NULL, NULL, NULL).ok();
        int trial = CheckName(name);
        if (rules) {
            EXPECT_EQ(trial, 1) << name;
        } else if (trial == 1) {
            refused_by_rules_only++;
        }
    }
    EXPECT_EQ(refused_by_rules_only, 3);
}

#ifdef _WIN32
// What the trial creation sees on this system, asked directly. '?' is an
// invalid name (ERROR_INVALID_NAME, 123, under Wine as on Windows). A colon is
// not: Windows opens an alternate data stream, and Wine creates a file called
// "a:b" (the call succeeds). That is why colons are refused by the name rules
// and not left to the trial.
TEST_F(ValidationTest, TrialCreationReportsInvalidNames) {
    std::string question = JoinPath(temporary_, "a?b");
    HANDLE trial = CreateFileA(question.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, CREATE_NEW,
                               FILE_FLAG_DELETE_ON_CLOSE, NULL);
    DWORD error = GetLastError();
    if (trial != INVALID_HANDLE_VALUE) CloseHandle(trial);
    EXPECT_EQ(trial, INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, (DWORD)ERROR_INVALID_NAME);

    std::string colon = JoinPath(temporary_, "a:b");
    trial = CreateFileA(colon.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, CREATE_NEW,
                        FILE_FLAG_DELETE_ON_CLOSE, NULL);
    error = GetLastError();
    if (trial != INVALID_HANDLE_VALUE) CloseHandle(trial);
    EXPECT_TRUE(trial != INVALID_HANDLE_VALUE || error != ERROR_INVALID_NAME);
    // On Windows the stream's host file "a" may remain; it is no trial leftover.
    DeleteFileA(JoinPath(temporary_, "a").c_str());
    DeleteFileA(colon.c_str());
}
#endif

TEST_F(ValidationTest, ExistingComponentsAreAccepted) {
    WriteWholeFile(JoinPath(temporary_, "exists.txt"), Bytes{1, 2, 3});
    MakeFolder(JoinPath(temporary_, "existdir"));
    expected_leftovers_ = {"existdir", "exists.txt"};
    EXPECT_EQ(CheckName("exists.txt"), 1);
    EXPECT_EQ(CheckName("existdir\\exists.txt"), 1);
    EXPECT_EQ(CheckRecords({Folder("existdir\\")}), 1);
    // The trial must not have removed what was there.
    EXPECT_EQ(ReadWholeFile(JoinPath(temporary_, "exists.txt")), (Bytes{1, 2, 3}));
}

TEST_F(ValidationTest, ComponentsAreSplitOnSingleByteBackslashes) {
    // "image\" has the one component "image": no empty last component.
    EXPECT_EQ(CheckRecords({Folder("image\\")}), 1);
    EXPECT_EQ(CheckRecords({Folder("image\\icons\\")}), 1);
    // 表 (0x95 0x5C) followed by a real separator: two components, not an
    // empty one in between.
    EXPECT_EQ(CheckName("\x95\x5C\\a"), 1);
    // ソ (0x83 0x5C) as the only 0x5C: one component.
    EXPECT_EQ(CheckName("\x83\x5C.txt"), 1);
    // 0x80 0x5C: the separator search passes over it, the system would not.
    EXPECT_EQ(CheckName("\x80\x5C..\\x"), 0);
}

TEST_F(ValidationTest, NamesLeavingTheDestinationAreBroken) {
    const char* hostile[] = {"..\\x",  "..",        "a\\..\\x",  ".\\x",   "a\\.\\b",
                             "\\abs",  "\\",        "a\\\\b",    "C:x",    "C:\\x",
                             "CON",    "con.txt",   "a\\NUL\\b", "lpt1\\", "a\\ . \\b",
                             "...\\x", "a/../../x", "a\\../x",   "..\\"};
    for (const char* name : hostile) EXPECT_EQ(CheckName(name), 0) << name;
    EXPECT_EQ(CheckRecords({Folder("..\\")}), 0);
    EXPECT_EQ(CheckRecords({Folder("a\\\\")}), 0);
}

TEST_F(ValidationTest, RecordsMustKeepTheExtractionInStep) {
    TestRecord folder_with_size = Folder("dir\\");
    folder_with_size.original_size = 5;
    EXPECT_EQ(CheckRecords({folder_with_size}), 0);

    TestRecord folder_with_bytes = Folder("dir\\");
    folder_with_bytes.stored = Bytes(4, 0);
    folder_with_bytes.stored_size = 4;
    EXPECT_EQ(CheckRecords({folder_with_bytes, File("x", Bytes(), 0)}), 0);

    EXPECT_EQ(CheckRecords({File("empty.txt", Bytes(2, 0), 0)}), 0);
    EXPECT_EQ(CheckRecords({File("empty.txt", Bytes(), 0)}), 1);

    // A name ending in 表 is a file, so sizes are allowed.
    EXPECT_EQ(CheckRecords({File("\x95\x5C", Bytes(4, 0), 10)}), 1);
}

TEST_F(ValidationTest, TemporaryFolderWithOrWithoutFinalSeparator) {
#ifdef _WIN32
    UseTemporaryFolder(temporary_ + "\\");
#else
    UseTemporaryFolder(temporary_ + "/");
#endif
    EXPECT_EQ(CheckName("dir\\file.txt"), 1);
    EXPECT_EQ(CheckName("dir\\..\\file.txt"), 0);
    UseTemporaryFolder(temporary_);
    EXPECT_EQ(CheckName("dir\\file.txt"), 1);
}

TEST_F(ValidationTest, SoundPayloadWithManyRecords) {
    std::vector<TestRecord> records = {Folder("image\\"), Folder("image\\icons\\")};
    for (int i = 0; i < 20; i++) {
        records.push_back(File("image\\icons\\" + std::to_string(i) + ".ico",
                               Bytes((size_t)i, (uint8_t)i), (uint32_t)(i * 3)));
    }
    records.push_back(File("readme.txt", Bytes(), 0));
    EXPECT_EQ(CheckRecords(records), 1);
    // The same payload behind a start that is not where it begins is broken.
    EXPECT_EQ(CheckFile(99), 0);
}

}  // namespace
