// Character boundaries in code page 932 names, and the name component rules.
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "payload/names.h"
#include "payload/validation.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

int Find(int start, const std::string& haystack, const std::string& find) {
    return InStr2(start, haystack.data(), (int)haystack.size(), find.data(), (int)find.size());
}

bool Safe(const std::string& component) {
    return IsSafeNameComponent(component.data(), component.size());
}

bool Yen(const std::string& text) { return EndYen(text.data(), text.size()); }

TEST(Upper2Byte, LeadBytesAreTheTwoFixedRanges) {
    int leads = 0;
    for (int b = 0; b < 256; b++) leads += Upper2Byte((uint8_t)b) ? 1 : 0;
    EXPECT_EQ(leads, 64);  // 0x80-0x9F and 0xE0-0xFF, 32 each
    EXPECT_FALSE(Upper2Byte(0x5C));
    EXPECT_FALSE(Upper2Byte(0x7F));
    EXPECT_TRUE(Upper2Byte(0x80));  // not a lead byte of the code page, counted anyway
    EXPECT_TRUE(Upper2Byte(0x83));
    EXPECT_TRUE(Upper2Byte(0x9F));
    EXPECT_FALSE(Upper2Byte(0xA0));  // half-width katakana are single bytes
    EXPECT_FALSE(Upper2Byte(0xDF));
    EXPECT_TRUE(Upper2Byte(0xE0));
    EXPECT_TRUE(Upper2Byte(0xFC));
    EXPECT_TRUE(Upper2Byte(0xFD));
    EXPECT_TRUE(Upper2Byte(0xFE));
    EXPECT_TRUE(Upper2Byte(0xFF));
}

TEST(InStr2, FindsOnCharacterBoundariesOnly) {
    EXPECT_EQ(Find(1, "image\\arrowdown.ico", "\\"), 6);
    EXPECT_EQ(Find(7, "image\\arrowdown.ico", "\\"), 0);
    EXPECT_EQ(Find(1, "\\abs", "\\"), 1);
    EXPECT_EQ(Find(2, "a\\\\b", "\\"), 2);
    EXPECT_EQ(Find(3, "a\\\\b", "\\"), 3);
    EXPECT_EQ(Find(1, "abcabc", "ca"), 3);
    EXPECT_EQ(Find(1, "ab", "abc"), 0);
    EXPECT_EQ(Find(1, "", "\\"), 0);

    // An empty string to find answers the start; a start below 1 answers 0.
    EXPECT_EQ(Find(4, "abc", ""), 4);
    EXPECT_EQ(Find(0, "a\\b", "\\"), 0);
    EXPECT_EQ(Find(-3, "a\\b", "\\"), 0);

    // 0x5C as the trail byte of 0x83 0x5C and 0x95 0x5C is no separator.
    EXPECT_EQ(Find(1, "\x83\x5C", "\\"), 0);
    EXPECT_EQ(Find(1, "\x95\x5C", "\\"), 0);
    EXPECT_EQ(Find(1, "a\x95\x5Cz\\b", "\\"), 5);
    EXPECT_EQ(Find(1, "\x95\x5C\x5C", "\\"), 3);
    // An even run of lead bytes ends on a boundary: 0x83 0x83 is one character.
    EXPECT_EQ(Find(1, "\x83\x83\x5C", "\\"), 3);
    EXPECT_EQ(Find(1, "\x83\x83\x83\x5C", "\\"), 0);
    // The wider rule also takes 0x80 and 0xFD-0xFF as lead bytes.
    EXPECT_EQ(Find(1, "\x80\x5C", "\\"), 0);
    EXPECT_EQ(Find(1, "\xFD\x5C", "\\"), 0);
    EXPECT_EQ(Find(1, "\xFF\x5C", "\\"), 0);
    EXPECT_EQ(Find(1, "\xA0\x5C", "\\"), 2);
    // A string to find that begins with a lead byte is accepted where found.
    EXPECT_EQ(Find(1, "\x83\x95\x5C", "\x95\x5C"), 2);
}

TEST(EndYen, FolderNamesEndInASingleByteBackslash) {
    EXPECT_TRUE(Yen("image\\"));
    EXPECT_TRUE(Yen("\\"));
    EXPECT_TRUE(Yen("a\\b\\"));
    EXPECT_FALSE(Yen(""));
    EXPECT_FALSE(Yen("image"));
    EXPECT_FALSE(Yen("image\\a"));
#ifdef _WIN32
    // CharPrevA follows the system's ANSI code page.
    if (GetACP() != 932) GTEST_SKIP() << "double-byte cases need code page 932, have " << GetACP();
#endif
    // A trail byte 0x5C ends a double-byte character: a file name.
    EXPECT_FALSE(Yen("\x95\x5C"));
    EXPECT_FALSE(Yen("dir\\\x83\x5C"));
    EXPECT_TRUE(Yen("\x95\x5C\\"));
    EXPECT_TRUE(Yen("\x83\x83\x5C"));  // 0x83 0x83 is one character
    EXPECT_FALSE(Yen("\x83\x83\x83\x5C"));
    // The code page's own lead bytes: 0x80 and 0xFD-0xFF stand alone.
    EXPECT_TRUE(Yen("\x80\x5C"));
    EXPECT_TRUE(Yen("\xFD\x5C"));
    EXPECT_TRUE(Yen("\xA5\x5C"));
    EXPECT_FALSE(Yen("\xE0\x5C"));
    EXPECT_FALSE(Yen("\xFC\x5C"));
}

TEST(IsSafeNameComponent, RefusesWhatLeavesTheFolderOrNamesADevice) {
    const char* refused[] = {".",    "..",     "...",     " ",        " . ",
                             ". .",  "C:",     "C:x",     "a:b",      "file.txt:stream",
                             "a/b",  "..\x2F", "a?b",     "a*b",      "a<b",
                             "a>b",  "a|b",    "a\"b",    "a\x01",    "\x1F",
                             "CON",  "con",    "Con.txt", "CON .txt", "nul.tar.gz",
                             "PRN",  "aux",    "COM1",    "com9.log", "LPT1",
                             "lpt9", "CONIN$", "conout$"};
    for (const char* name : refused) EXPECT_FALSE(Safe(name)) << "accepted \"" << name << "\"";
    EXPECT_FALSE(Safe(""));
    EXPECT_FALSE(Safe(std::string("a\0b", 3)));
    // A backslash that the separator search passed over as a trail byte,
    // behind a byte that is no lead byte of the code page, is a separator to
    // the system: refused.
    EXPECT_FALSE(Safe("\x80\x5C"));
    EXPECT_FALSE(Safe("\xFD\x5C"));
    // A lead byte with no valid trail byte stands alone; what follows counts.
    EXPECT_FALSE(Safe("\x81/"));
}

TEST(IsSafeNameComponent, AcceptsOrdinaryNames) {
    const char* accepted[] = {"a",   "image", "arrowdown.ico", ".hidden",   "a.b.c", "..a",
                              "a..", "a b",   "CONSOLE",       "CONX",      "COM0",  "COM10",
                              "LPT", "con1",  "nul_",          "prn-x.txt", "~a",    "a$b"};
    for (const char* name : accepted) EXPECT_TRUE(Safe(name)) << "refused \"" << name << "\"";
    // Double-byte characters whose trail byte is 0x5C or 0x7C: 表, ソ, ポ.
    EXPECT_TRUE(Safe("\x95\x5C"));
    EXPECT_TRUE(Safe("\x83\x5C\x83\x7C.txt"));
    // Japanese text: 日本語.txt
    EXPECT_TRUE(Safe("\x93\xFA\x96\x7B\x8C\xEA.txt"));
}

// The rules' verdict on a whole name, through the payload walk; for a refused
// name, the part that was refused.
std::string RulesVerdict(const std::string& name) {
    EntryRecord record = {};
    record.nameLength = (uint8_t)name.size();
    memcpy(record.name, name.data(), name.size());
    uint8_t bytes[RECORD_MAX_SIZE];
    uint32_t size = EncodeEntryRecord(&record, bytes);
    ByteSource source = MemorySource(bytes, size);
    PayloadRefusal refusal;
    if (WalkPayload(&source, 0, NameRules(), NULL, NULL, &refusal).ok()) return "ok";
    if (refusal.fault != PAYLOAD_NAME_REFUSED) return "fault";
    return "refused " + name.substr(refusal.component_at, refusal.component_length);
}

TEST(NameRules, JudgeWholeNamesWithoutTheFileSystem) {
    std::string deep;  // 255 bytes in 128 parts
    for (int part = 0; part < 127; part++) deep += "d\\";
    deep += "f";
    const struct {
        std::string name, verdict;
    } table[] = {
        {"a.txt", "ok"},
        {"docs\\", "ok"},  // a folder: no part after its backslash
        {"docs\\a.txt", "ok"},
        {".hidden", "ok"},
        {"a b.txt", "ok"},
        {"\x95\x5C", "ok"},     // 表: its trail byte is no separator
        {"\x83\x5C\\b", "ok"},  // ソ, then a separator
        {deep, "ok"},
        {"\\a", "refused "},      // absolute
        {"a\\\\b", "refused "},   // an empty part
        {"C:\\a", "refused C:"},  // drive-qualified
        {"..\\a", "refused .."},
        {"a\\.\\b", "refused ."},
        {"a/b", "refused a/b"},
        {"x\\con.txt", "refused con.txt"},
        {"LPT1.log", "refused LPT1.log"},
        {"a<b", "refused a<b"},
        {"a>b", "refused a>b"},
        {"a\"b", "refused a\"b"},
        {"a|b", "refused a|b"},
        {"a?b", "refused a?b"},
        {"a*b", "refused a*b"},
        {"a\tb", "refused a\tb"},
        {"a.", "refused a."},     // Windows would strip the dot
        {"a \\b", "refused a "},  // ... and the space
        {"a..\\", "refused a.."},
    };
    for (const auto& row : table)
        EXPECT_EQ(RulesVerdict(row.name), row.verdict) << ::testing::PrintToString(row.name);
}

}  // namespace
