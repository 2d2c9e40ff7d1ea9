// Where the payload begins, and the layout of one entry record.
#include <string.h>

#include <gtest/gtest.h>

#include "payload/records.h"
#include "support.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

void Put16(Bytes& b, size_t at, uint16_t v) {
    b[at] = (uint8_t)v;
    b[at + 1] = (uint8_t)(v >> 8);
}

void Put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) b[at + i] = (uint8_t)(v >> (8 * i));
}

// A file with just the header fields that the payload search reads: "MZ", a
// 32-bit e_lfanew at 60, "PE\0\0" at e_lfanew, the section count at
// e_lfanew + 6 and section headers from e_lfanew + 248 on.
struct FakeExecutable {
    Bytes bytes;
    explicit FakeExecutable(size_t size) : bytes(size, 0) {
        bytes[0] = 'M';
        bytes[1] = 'Z';
    }
    void Header(uint32_t e_lfanew_field, size_t at, uint16_t sections) {
        Put32(bytes, 60, e_lfanew_field);
        bytes[at] = 'P';
        bytes[at + 1] = 'E';
        Put16(bytes, at + 6, sections);
    }
    void Section(size_t pe_at, int index, uint32_t size_of_raw_data, uint32_t pointer) {
        size_t header = pe_at + 248 + 40 * (size_t)index;
        Put32(bytes, header + 16, size_of_raw_data);
        Put32(bytes, header + 20, pointer);
    }
};

class ExeSizeTest : public ::testing::Test {
protected:
    void SetUp() override { folder_ = MakeScratchFolder(); }
    void TearDown() override { RemoveTree(folder_); }
    uint32_t SizeOf(const Bytes& bytes) {
        std::string path = JoinPath(folder_, "sample.exe");
        WriteWholeFile(path, bytes);
        return GetEXESize(path.c_str());
    }
    std::string folder_;
};

TEST_F(ExeSizeTest, PayloadStartOfARealStrippedExecutableIsItsSize) {
#ifdef _WIN32
    // The test program itself is a static, stripped executable of this build.
    char self[MAX_PATH + 1] = {0};
    GetModuleFileNameA(NULL, self, MAX_PATH);
    Bytes image = ReadWholeFile(self);
    EXPECT_EQ(GetEXESize(self), image.size());
#elif defined(SAMPLE_EXE)
    Bytes image = ReadWholeFile(SAMPLE_EXE);
    ASSERT_GT(image.size(), 1024u);
    EXPECT_EQ(GetEXESize(SAMPLE_EXE), image.size());
#else
    GTEST_SKIP() << "no cross compiler to make a real executable with";
#endif
    // Appended bytes do not move the start: they are the payload.
    Bytes with_payload = image;
    with_payload.insert(with_payload.end(), 1000, 0xAB);
    EXPECT_EQ(SizeOf(with_payload), image.size());
}

TEST_F(ExeSizeTest, SignaturesDecide) {
    FakeExecutable exe(1024);
    exe.Header(0x80, 0x80, 1);
    exe.Section(0x80, 0, 0x200, 0x400);
    EXPECT_EQ(SizeOf(exe.bytes), 0x600u);

    Bytes no_mz = exe.bytes;
    no_mz[1] = 'X';
    EXPECT_EQ(SizeOf(no_mz), 0u);

    Bytes no_pe = exe.bytes;
    no_pe[0x81] = 'F';
    EXPECT_EQ(SizeOf(no_pe), 0u);

    // Only "PE" is compared; the two bytes behind it may be anything.
    Bytes pe_with_junk = exe.bytes;
    pe_with_junk[0x82] = 0x12;
    pe_with_junk[0x83] = 0xFF;
    EXPECT_EQ(SizeOf(pe_with_junk), 0x600u);

    EXPECT_EQ(SizeOf(Bytes{'M'}), 0u);
    EXPECT_EQ(SizeOf(Bytes()), 0u);
    EXPECT_EQ(GetEXESize(JoinPath(folder_, "missing.exe").c_str()), 0u);
}

TEST_F(ExeSizeTest, LastSectionByCountDecidesWhateverItsOffset) {
    FakeExecutable exe(2048);
    exe.Header(0x40, 0x40, 3);
    exe.Section(0x40, 0, 0x1000, 0x9000);
    exe.Section(0x40, 1, 0x2000, 0x8000);
    exe.Section(0x40, 2, 0x10, 0x400);  // lies before the others in the file
    EXPECT_EQ(SizeOf(exe.bytes), 0x410u);
}

TEST_F(ExeSizeTest, HeaderOffsetAndSectionCountAreTakenModulo) {
    // e_lfanew 0x10100 is read as 0x100: the real header there decides, the
    // one at 0x10100 is never looked at.
    FakeExecutable exe(0x10100 + 1024);
    exe.Header(0x10100, 0x100, 2);
    exe.Section(0x100, 1, 0x300, 0x500);
    exe.bytes[0x10100] = 'P';
    exe.bytes[0x10101] = 'E';
    Put16(exe.bytes, 0x10106, 1);
    EXPECT_EQ(SizeOf(exe.bytes), 0x800u);

    // A count of 0x0103 is read as 3.
    FakeExecutable many(12000);
    many.Header(0x80, 0x80, 0x0103);
    many.Section(0x80, 2, 0x100, 0x700);
    many.Section(0x80, 0x0102, 0xDEAD, 0xBEEF);
    EXPECT_EQ(SizeOf(many.bytes), 0x800u);
}

TEST_F(ExeSizeTest, SumWrapsAt32Bits) {
    FakeExecutable exe(1024);
    exe.Header(0x80, 0x80, 1);
    exe.Section(0x80, 0, 0xFFFFFFF0u, 0x30);
    EXPECT_EQ(SizeOf(exe.bytes), 0x20u);
}

// The worked file record: "image\arrowdown.ico", archive with the odd
// rescale rule, 318 bytes stored in 89.
Bytes WorkedRecord() {
    Bytes r;
    r.push_back(0x13);
    const char* name = "image\\arrowdown.ico";
    r.insert(r.end(), name, name + 19);
    for (int i = 0; i < 24; i++) r.push_back((uint8_t)(0xA0 + i));
    r.insert(r.end(), {0x20, 0x20, 0x3E, 0x01, 0x00, 0x00, 0x59, 0x00, 0x00, 0x00});
    for (int i = 0; i < 89; i++) r.push_back((uint8_t)(i * 7));
    return r;
}

class RecordTest : public ExeSizeTest {};

TEST_F(RecordTest, WorkedExampleReadsFieldByField) {
    Bytes payload(5, 0xEE);  // p = 5
    Bytes record = WorkedRecord();
    payload.insert(payload.end(), record.begin(), record.end());
    payload.push_back(0x42);  // the first byte of the next record
    std::string path = JoinPath(folder_, "payload.bin");
    WriteWholeFile(path, payload);

    FileHandle file;
    OpenForReading(path.c_str(), &file);
    ASSERT_NE(file, NO_FILE);
    SetFilePointer64(file, 5, FILE_BEGIN);
    EntryRecord read;
    bool at_end = true;
    ASSERT_EQ(ReadEntryRecord(file, &read, &at_end).cause, CAUSE_OK);
    EXPECT_FALSE(at_end);
    EXPECT_EQ(read.nameLength, 19);
    EXPECT_STREQ(read.name, "image\\arrowdown.ico");
    EXPECT_EQ(read.creationTime, 0xA7A6A5A4A3A2A1A0ull);
    EXPECT_EQ(read.lastAccessTime, 0xAFAEADACABAAA9A8ull);
    EXPECT_EQ(read.lastWriteTime, 0xB7B6B5B4B3B2B1B0ull);
    EXPECT_EQ(read.attributeWord, 0x2020);
    EXPECT_EQ(read.attributeWord & ATTRIBUTE_MASK, ATTRIBUTE_ARCHIVE);
    EXPECT_TRUE(read.attributeWord & ODD_RESCALE);
    EXPECT_EQ(read.originalSize, 318u);
    EXPECT_EQ(read.storedSize, 89u);
    // The stored bytes follow at once; the next record lies 143 bytes from p.
    int64_t stored_at = SetFilePointer64(file, 0, FILE_CURRENT);
    EXPECT_EQ(stored_at, 5 + 54);
    EXPECT_EQ(stored_at + read.storedSize, 5 + 143);
    CloseFile(file);
}

TEST_F(RecordTest, WriterProducesTheSameBytes) {
    Bytes expected = WorkedRecord();
    EntryRecord record;
    memset(&record, 0, sizeof record);
    record.nameLength = 19;
    memcpy(record.name, "image\\arrowdown.ico", 19);
    record.creationTime = 0xA7A6A5A4A3A2A1A0ull;
    record.lastAccessTime = 0xAFAEADACABAAA9A8ull;
    record.lastWriteTime = 0xB7B6B5B4B3B2B1B0ull;
    record.attributeWord = ATTRIBUTE_ARCHIVE | ODD_RESCALE;
    record.originalSize = 318;
    record.storedSize = 89;

    std::string path = JoinPath(folder_, "written.bin");
    FileHandle file = CreateReadWrite(path.c_str());
    ASSERT_NE(file, NO_FILE);
    ASSERT_TRUE(WriteEntryRecord(file, &record).ok());
    WriteBytes(file, expected.data() + 54, 89);
    CloseFile(file);
    EXPECT_EQ(ReadWholeFile(path), expected);

    // A folder record with a 6-byte name takes 41 bytes and no stored bytes.
    EntryRecord folder;
    memset(&folder, 0, sizeof folder);
    folder.nameLength = 6;
    memcpy(folder.name, "image\\", 6);
    folder.attributeWord = ATTRIBUTE_DIRECTORY;
    file = CreateReadWrite(path.c_str());
    ASSERT_TRUE(WriteEntryRecord(file, &folder).ok());
    CloseFile(file);
    EXPECT_EQ(ReadWholeFile(path).size(), 41u);

    // A name of no bytes is not a record.
    folder.nameLength = 0;
    file = CreateReadWrite(path.c_str());
    EXPECT_EQ(WriteEntryRecord(file, &folder).cause, CAUSE_INVALID);
    CloseFile(file);
    EXPECT_TRUE(ReadWholeFile(path).empty());
}

TEST_F(RecordTest, ReaderTellsEndFromCutShort) {
    Bytes record = WorkedRecord();
    std::string path = JoinPath(folder_, "cut.bin");
    EntryRecord read;
    bool at_end = false;
    // Every cut inside the name and the fixed fields is a short record; a cut
    // right at the start is the end of the payload.
    for (size_t keep = 0; keep < 54; keep++) {
        WriteWholeFile(path, Bytes(record.begin(), record.begin() + keep));
        FileHandle file;
        OpenForReading(path.c_str(), &file);
        ASSERT_NE(file, NO_FILE);
        EXPECT_EQ(ReadEntryRecord(file, &read, &at_end).cause, keep == 0 ? CAUSE_OK : CAUSE_DAMAGED)
            << "kept " << keep;
        EXPECT_EQ(at_end, keep == 0) << "kept " << keep;
        CloseFile(file);
    }
    WriteWholeFile(path, Bytes(40, 0));  // nameLength 0
    FileHandle file;
    OpenForReading(path.c_str(), &file);
    EXPECT_EQ(ReadEntryRecord(file, &read, &at_end).cause, CAUSE_DAMAGED);
    CloseFile(file);
}

}  // namespace
