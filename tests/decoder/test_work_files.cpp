// The work files of a compressed entry: the name generator, the choice of
// names in the temporary folder, the copy of the stored bytes, the decode
// chain with its integrity check, and where the executable stands afterwards.
#include <gtest/gtest.h>
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "codec/BlockSorting.h"
#include "codec/RunLength.h"
#include "decoder/stage_files.h"
#include "decoder/work_files.h"
#include "tests/codec/codec_test_util.h"
#include "tests/decoder/work_files_support.h"
#include "tests/test_hooks.h"

namespace {

// The whole-chain example: stored bytes, and the second work file's contents
// after stage 3.
const Bytes& CHAIN_STORED = kExampleStored;
const Bytes& CHAIN_AFTER_STAGE2 = kExampleAfterStage2;
const Bytes& CHAIN_AFTER_STAGE3 = kExampleAfterStage3;
const char CHAIN_TEXT[] = "abracadabra aaaaaaaa";
const uint32_t CHAIN_SIZE = 20;

const Bytes BEFORE = TextBytes("HEADER-AND-EARLIER-RECORDS");
const Bytes AFTER = TextBytes("NEXT");

// Reads what follows the executable's position: the next record must start there.
std::string FollowingBytes(HANDLE file, uint32_t count) {
    std::string text(count, '\0');
    DWORD done = 0;
    ReadFile(file, &text[0], count, &done, NULL);
    text.resize(done);
    return text;
}

}  // namespace

// ---------------------------------------------------------------------------
// Generator and stems

TEST(Generator, DrawsFromStateOneAsTheNamesRequire) {
    RandomState = 1;
    EXPECT_EQ(16838u, NextRandom());
    EXPECT_EQ(5758u, NextRandom());
    EXPECT_EQ(10113u, NextRandom());
    EXPECT_EQ(17515u, NextRandom());
    // Every draw is bits 16..30 of the state after it.
    EXPECT_EQ((RandomState >> 16) & 0x7FFF, 17515u);

    // Rnd multiplies two draws and keeps the product modulo 100000.
    RandomState = 1;
    // 16838 * 5758 = 96953204, 10113 * 17515 = 177129195.
    EXPECT_EQ(0.53204, Rnd());
    EXPECT_EQ(0.29195, Rnd());
}

TEST(Generator, FirstStemsAfterStartAreYIF7RzXEcXNF) {
    RandomState = 1;
    char stem[8];
    RandomString(stem);
    EXPECT_STREQ("ZevYIF7", stem);
    RandomString(stem);
    EXPECT_STREQ("ZevRzXE", stem);
    RandomString(stem);
    EXPECT_STREQ("ZevcXNF", stem);
    // Eight draws per stem.
    uint32_t after_three = RandomState;
    RandomState = 1;
    for (int i = 0; i < 24; i++) NextRandom();
    EXPECT_EQ(after_three, RandomState);
}

TEST(Generator, LargestFractionPicksLastAlphabetCharacter) {
    // Find a state whose next two draws multiply to 99999 modulo 100000, the
    // largest fraction Rnd can give; its index must be 63, never 64.
    uint32_t found = 0;
    bool have = false;
    for (uint32_t state = 1; state < 50000000 && !have; state++) {
        RandomState = state;
        uint32_t a = NextRandom();
        uint32_t b = NextRandom();
        if ((a * b) % 100000 == 99999) {
            found = state;
            have = true;
        }
    }
    ASSERT_TRUE(have);
    RandomState = found;
    EXPECT_EQ(0.99999, Rnd());
    RandomState = found;
    char stem[8];
    RandomString(stem);
    EXPECT_EQ('_', stem[3]);
    EXPECT_EQ('\0', stem[7]);
    EXPECT_EQ(0, memcmp(stem, "Zev", 3));
}

TEST(Generator, StemsUseOnlyTheNameAlphabetAndReachBothEnds) {
    const std::string alphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz-_";
    RandomState = 1;
    std::string seen;
    for (int i = 0; i < 4000; i++) {
        char stem[8];
        RandomString(stem);
        ASSERT_EQ(7u, strlen(stem));
        for (int p = 3; p < 7; p++) {
            ASSERT_NE(std::string::npos, alphabet.find(stem[p])) << stem;
            if (seen.find(stem[p]) == std::string::npos) seen += stem[p];
        }
    }
    EXPECT_EQ(alphabet.size(), seen.size());
}

// ---------------------------------------------------------------------------
// Names in the temporary folder

TEST_F(WorkFolderTest, FirstEntryAfterStartUsesZevYIF7) {
    FakeExecutable exe(BEFORE, CHAIN_STORED, AFTER);
    WorkFiles files;
    ASSERT_EQ(CAUSE_OK,
              DecodeWithFiles(exe.handle, (uint32_t)CHAIN_STORED.size(), 0, CHAIN_SIZE, &files));
    EXPECT_EQ(Names({"ZevYIF71.tmp", "ZevYIF72.tmp"}), FolderNames());
    CloseWorkFiles(&files);
    EXPECT_EQ(Names({}), FolderNames());

    // The next entry's names follow on from the generator.
    ASSERT_EQ(CAUSE_OK,
              DecodeWithFiles(exe.Rewound(), (uint32_t)CHAIN_STORED.size(), 0, CHAIN_SIZE, &files));
    EXPECT_EQ(Names({"ZevRzXE1.tmp", "ZevRzXE2.tmp"}), FolderNames());
    CloseWorkFiles(&files);
    EXPECT_EQ(Names({}), FolderNames());
}

TEST_F(WorkFolderTest, AnExistingNameOfEitherKindDrawsANewStemForBoth) {
    FakeExecutable exe(BEFORE, CHAIN_STORED, AFTER);
    WorkFiles files;

    // Only the second name of the first stem exists: neither is used.
    PlaceFile("ZevYIF72.tmp");
    ASSERT_EQ(CAUSE_OK,
              DecodeWithFiles(exe.handle, (uint32_t)CHAIN_STORED.size(), 0, CHAIN_SIZE, &files));
    EXPECT_EQ(Names({"ZevRzXE1.tmp", "ZevRzXE2.tmp", "ZevYIF72.tmp"}), FolderNames());
    CloseWorkFiles(&files);
    EXPECT_EQ(Names({"ZevYIF72.tmp"}), FolderNames());
    RemovePlaced("ZevYIF72.tmp");

    // Only the first name exists; a folder of that name counts as well.
    RandomState = 1;
    PlaceFolder("ZevYIF71.tmp");
    ASSERT_EQ(CAUSE_OK,
              DecodeWithFiles(exe.Rewound(), (uint32_t)CHAIN_STORED.size(), 0, CHAIN_SIZE, &files));
    EXPECT_EQ(Names({"ZevRzXE1.tmp", "ZevRzXE2.tmp", "ZevYIF71.tmp"}), FolderNames());
    CloseWorkFiles(&files);
    RemovePlaced("ZevYIF71.tmp");

    // Two stems taken in a row: the third is used.
    RandomState = 1;
    PlaceFile("ZevYIF71.tmp");
    PlaceFile("ZevRzXE2.tmp");
    ASSERT_EQ(CAUSE_OK,
              DecodeWithFiles(exe.Rewound(), (uint32_t)CHAIN_STORED.size(), 0, CHAIN_SIZE, &files));
    EXPECT_EQ(Names({"ZevRzXE2.tmp", "ZevYIF71.tmp", "ZevcXNF1.tmp", "ZevcXNF2.tmp"}),
              FolderNames());
    CloseWorkFiles(&files);
    EXPECT_EQ(Names({"ZevRzXE2.tmp", "ZevYIF71.tmp"}), FolderNames());
    RemovePlaced("ZevYIF71.tmp");
    RemovePlaced("ZevRzXE2.tmp");
}

// Another program (or a second stub, which draws the same stems) takes a name
// in the moment between the check and the open: the counted open finds a
// file of its name there.
namespace {
int OpensBeforePlanting = 0;
const char PLANTED_TEXT[] = "another program's file";

void PlantAtTheCountedOpen(const char* path) {
    if (--OpensBeforePlanting != 0) return;
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    DWORD done = 0;
    WriteFile(file, PLANTED_TEXT, sizeof PLANTED_TEXT - 1, &done, NULL);
    CloseHandle(file);
}
}  // namespace

TEST_F(WorkFolderTest, NameTakenRightBeforeItsOpenIsLeftAloneAndTheNextStemUsed) {
    const char* planted[] = {"ZevYIF71.tmp", "ZevYIF72.tmp"};
    for (int open = 1; open <= 2; open++) {
        SCOPED_TRACE(open);
        const char* name = planted[open - 1];
        RandomState = 1;
        OpensBeforePlanting = open;
        BeforeWorkFileOpen = PlantAtTheCountedOpen;
        FakeExecutable exe(BEFORE, CHAIN_STORED, AFTER);
        WorkFiles files;
        Cause result =
            DecodeWithFiles(exe.handle, (uint32_t)CHAIN_STORED.size(), 0, CHAIN_SIZE, &files);
        BeforeWorkFileOpen = nullptr;
        EXPECT_EQ(CAUSE_OK, result);
        EXPECT_EQ("NEXT", FollowingBytes(exe.handle, 8));
        EXPECT_EQ(CHAIN_AFTER_STAGE3, ReadWhole(files.second));
        EXPECT_EQ(Names({name, "ZevRzXE1.tmp", "ZevRzXE2.tmp"}), FolderNames());
        CloseWorkFiles(&files);
        EXPECT_EQ(Names({name}), FolderNames());
        HANDLE file =
            CreateFileA((folder + name).c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        EXPECT_EQ(TextBytes(PLANTED_TEXT), ReadWhole(file));
        CloseHandle(file);
        DeleteFileA((folder + name).c_str());
    }
}

TEST_F(WorkFolderTest, FolderEndingInDoubleByteCharacterWithTrailBackslash) {
    if (GetACP() != 932) GTEST_SKIP() << "needs code page 932 as the ANSI code page";
    // 0x95 0x5C is one character whose trail byte is a backslash.
    std::string inner = folder + "q\x95\x5C";
    ASSERT_TRUE(CreateDirectoryA(inner.c_str(), NULL));
    UseTemporaryFolder(inner);
    FakeExecutable exe(BEFORE, CHAIN_STORED, AFTER);
    WorkFiles files;
    ASSERT_EQ(CAUSE_OK,
              DecodeWithFiles(exe.handle, (uint32_t)CHAIN_STORED.size(), 0, CHAIN_SIZE, &files));
    EXPECT_EQ(Names({"ZevYIF71.tmp", "ZevYIF72.tmp"}), NamesIn(inner + "\\"));
    EXPECT_EQ(Names({"q\x95\x5C"}), FolderNames());
    CloseWorkFiles(&files);
    EXPECT_EQ(Names({}), NamesIn(inner + "\\"));
    RemoveDirectoryA(inner.c_str());
}

// ---------------------------------------------------------------------------
// The decode chain

TEST_F(WorkFolderTest, WholeChainExampleUnderBothRescaleRules) {
    const uint32_t rules[] = {0, 0x2000};
    for (uint32_t odd_rescale : rules) {
        SCOPED_TRACE(odd_rescale);
        FakeExecutable exe(BEFORE, CHAIN_STORED, AFTER);
        WorkFiles files;
        ASSERT_EQ(CAUSE_OK, DecodeWithFiles(exe.handle, (uint32_t)CHAIN_STORED.size(), odd_rescale,
                                            CHAIN_SIZE, &files));
        EXPECT_EQ("NEXT", FollowingBytes(exe.handle, 8));
        EXPECT_EQ(CHAIN_AFTER_STAGE2, ReadWhole(files.first));
        EXPECT_EQ(CHAIN_AFTER_STAGE3, ReadWhole(files.second));

        // Stage 4 from the second work file gives the text.
        FakeExecutable target(Bytes(), TextBytes("stale contents, longer than the text"), Bytes());
        ASSERT_EQ(CAUSE_OK, ExpandWorkFile(files.second, target.handle, NO_PUMP).cause);
        EXPECT_EQ(TextBytes(CHAIN_TEXT), ReadWhole(target.handle));
        CloseWorkFiles(&files);
        EXPECT_EQ(INVALID_HANDLE_VALUE, files.first);
        EXPECT_EQ(INVALID_HANDLE_VALUE, files.second);
        EXPECT_EQ(Names({}), FolderNames());
    }
}

TEST_F(WorkFolderTest, CorruptEntryLeavesExecutableAtTheNextRecord) {
    // Stage 1 cannot decode these: the stream breaks before its end symbol.
    Bytes broken(CHAIN_STORED.begin(), CHAIN_STORED.begin() + 6);
    Bytes garbage(300, 0xFF);
    const Bytes* cases[] = {&broken, &garbage};
    for (const Bytes* stored : cases) {
        FakeExecutable exe(BEFORE, *stored, AFTER);
        WorkFiles files;
        EXPECT_EQ(CAUSE_DAMAGED,
                  DecodeWithFiles(exe.handle, (uint32_t)stored->size(), 0, CHAIN_SIZE, &files));
        EXPECT_EQ("NEXT", FollowingBytes(exe.handle, 8));
        // Both work files are there until the caller closes them.
        EXPECT_NE(INVALID_HANDLE_VALUE, files.first);
        EXPECT_NE(INVALID_HANDLE_VALUE, files.second);
        EXPECT_EQ(2u, FolderNames().size());
        CloseWorkFiles(&files);
        EXPECT_EQ(Names({}), FolderNames());
    }
}

TEST_F(WorkFolderTest, ExecutableStandsBehindStoredBytesOfEveryCopySize) {
    // The example stream padded to the piece size and one byte beyond it; stage
    // 1 stops at its end symbol, so the padding does not change the result.
    const uint32_t sizes[] = {COPY_BUF_SIZE, COPY_BUF_SIZE + 1, 3 * COPY_BUF_SIZE + 17};
    for (uint32_t size : sizes) {
        SCOPED_TRACE(size);
        Bytes stored(CHAIN_STORED);
        stored.resize(size, 0xA5);
        FakeExecutable exe(BEFORE, stored, AFTER);
        WorkFiles files;
        EXPECT_EQ(CAUSE_OK, DecodeWithFiles(exe.handle, size, 0, CHAIN_SIZE, &files));
        EXPECT_EQ("NEXT", FollowingBytes(exe.handle, 8));
        EXPECT_EQ(CHAIN_AFTER_STAGE3, ReadWhole(files.second));
        CloseWorkFiles(&files);
    }
    // Nothing stored: nothing to decode, and the executable has not moved.
    FakeExecutable exe(BEFORE, Bytes(), AFTER);
    WorkFiles files;
    EXPECT_EQ(CAUSE_DAMAGED, DecodeWithFiles(exe.handle, 0, 0, CHAIN_SIZE, &files));
    EXPECT_EQ("NEXT", FollowingBytes(exe.handle, 8));
    CloseWorkFiles(&files);
    EXPECT_EQ(Names({}), FolderNames());
}

TEST_F(WorkFolderTest, CopyMovesStoredBytesInPiecesOfOneMebibyte) {
    Bytes buffer(COPY_BUF_SIZE);
    const uint32_t sizes[] = {
        0, 1, COPY_BUF_SIZE - 1, COPY_BUF_SIZE, COPY_BUF_SIZE + 1, 2 * COPY_BUF_SIZE + 3};
    for (uint32_t size : sizes) {
        SCOPED_TRACE(size);
        Bytes stored = RandomBytes(size, size + 7);
        FakeExecutable exe(BEFORE, stored, AFTER);
        FakeExecutable first{Bytes(), Bytes(), Bytes()};
        CopyStoredBytes(exe.handle, first.handle, size, buffer.data()).cause;
        EXPECT_EQ("NEXT", FollowingBytes(exe.handle, 8));
        EXPECT_TRUE(stored == ReadWhole(first.handle)) << "copy differs";
    }
}

TEST_F(WorkFolderTest, CopyWritesTheCountsItAskedForEvenWhenReadsComeShort) {
    // With the executable ending early, every write still asks for the count
    // its read asked for; what is written then shows the pieces: the last
    // piece of 0x100001 is one byte, taken from a buffer that still holds the
    // first piece.
    Bytes buffer(COPY_BUF_SIZE);
    Bytes stored = RandomBytes(COPY_BUF_SIZE, 99);
    FakeExecutable exe(BEFORE, stored, Bytes());
    FakeExecutable first{Bytes(), Bytes(), Bytes()};
    CopyStoredBytes(exe.handle, first.handle, COPY_BUF_SIZE + 1, buffer.data()).cause;
    Bytes expected(stored);
    expected.push_back(stored[0]);
    EXPECT_TRUE(expected == ReadWhole(first.handle)) << "not one piece of 0x100000 and one of 1";

    // 0x100000 + 5 with two bytes beyond the first piece: the last write of
    // five bytes carries the two new bytes and three left from the first piece.
    Bytes longer = RandomBytes(COPY_BUF_SIZE + 2, 5);
    FakeExecutable exe2(BEFORE, longer, Bytes());
    FakeExecutable first2{Bytes(), Bytes(), Bytes()};
    CopyStoredBytes(exe2.handle, first2.handle, COPY_BUF_SIZE + 5, buffer.data()).cause;
    Bytes expected2(longer);
    expected2.insert(expected2.end(), longer.begin() + 2, longer.begin() + 5);
    EXPECT_TRUE(expected2 == ReadWhole(first2.handle)) << "short last piece written wrongly";
}

// ---------------------------------------------------------------------------
// Integrity: a corrupt entry is reported, so the caller never makes the target

TEST_F(WorkFolderTest, SizeThatDiffersFromTheRecordIsCorrupt) {
    const uint32_t wrong[] = {0, 1, CHAIN_SIZE - 1, CHAIN_SIZE + 1, 0xFFFFFFFFu};
    for (uint32_t originalSize : wrong) {
        SCOPED_TRACE(originalSize);
        FakeExecutable exe(BEFORE, CHAIN_STORED, AFTER);
        WorkFiles files;
        EXPECT_EQ(CAUSE_DAMAGED, DecodeWithFiles(exe.handle, (uint32_t)CHAIN_STORED.size(), 0,
                                                 originalSize, &files));
        EXPECT_EQ("NEXT", FollowingBytes(exe.handle, 8));
        CloseWorkFiles(&files);
    }
    EXPECT_EQ(Names({}), FolderNames());
}

TEST_F(WorkFolderTest, BlockRefusedByStageThreeIsCorrupt) {
    // Stage 3 goes on past a block only when that block is full, so the sound
    // block fills BS_BUF_SIZE: it restores to one run-length block of plain
    // bytes. Alone it decodes to `expanded` bytes; followed by a block whose
    // primary index lies outside it, only the refusal can make it corrupt.
    Bytes plain = RandomBytes(BS_BUF_SIZE - 3, 41);
    for (size_t i = 3; i < plain.size(); i++) {
        if (plain[i] == plain[i - 1] && plain[i] == plain[i - 2] && plain[i] == plain[i - 3])
            plain[i] ^= 1;
    }
    Bytes sound = BwtEncode(RleBlock(plain));
    ASSERT_EQ((size_t)BS_BUF_SIZE + 6, sound.size());
    Bytes refused = MakeBytes({0x00, 0x00, 0x05, 0x00, 0x00, 0x03, 'a', 'b', 'c'});
    Bytes both(sound);
    both.insert(both.end(), refused.begin(), refused.end());

    Bytes soundStored, bothStored;
    ASSERT_TRUE(RangeEncode(MtfEncode(sound), 0, &soundStored));
    ASSERT_TRUE(RangeEncode(MtfEncode(both), 0, &bothStored));
    uint32_t expanded = (uint32_t)plain.size();

    WorkFiles files;
    FakeExecutable control(BEFORE, soundStored, AFTER);
    EXPECT_EQ(CAUSE_OK,
              DecodeWithFiles(control.handle, (uint32_t)soundStored.size(), 0, expanded, &files));
    CloseWorkFiles(&files);

    FakeExecutable exe(BEFORE, bothStored, AFTER);
    EXPECT_EQ(CAUSE_DAMAGED,
              DecodeWithFiles(exe.handle, (uint32_t)bothStored.size(), 0, expanded, &files));
    EXPECT_EQ("NEXT", FollowingBytes(exe.handle, 8));
    // The sound block made it into the second work file before the refusal.
    uint64_t walked = 0;
    EXPECT_EQ(CAUSE_OK, rle_expanded_size(files.second, &walked).cause);
    EXPECT_EQ(expanded, walked);
    CloseWorkFiles(&files);
    EXPECT_EQ(Names({}), FolderNames());
}

TEST_F(WorkFolderTest, BlockThatStageFourWouldRefuseIsCorrupt) {
    // A run of four equal bytes without its count byte.
    Bytes runWithoutCount = RleBlock(TextBytes("aaaa"));
    Bytes stored;
    ASSERT_TRUE(RangeEncode(MtfEncode(BwtEncode(runWithoutCount)), 0, &stored));
    const uint32_t sizes[] = {4, 5, 7};
    for (uint32_t originalSize : sizes) {
        FakeExecutable exe(BEFORE, stored, AFTER);
        WorkFiles files;
        EXPECT_EQ(CAUSE_DAMAGED,
                  DecodeWithFiles(exe.handle, (uint32_t)stored.size(), 0, originalSize, &files));
        EXPECT_EQ("NEXT", FollowingBytes(exe.handle, 8));
        CloseWorkFiles(&files);
    }
    EXPECT_EQ(Names({}), FolderNames());
}

TEST_F(WorkFolderTest, MissingTemporaryFolderIsAWriteFailureThatTouchesNoFile) {
    std::string missing = folder + "no-such-folder";
    UseTemporaryFolder(missing);
    FakeExecutable exe(BEFORE, CHAIN_STORED, AFTER);
    WorkFiles files;
    files.first = files.second = (HANDLE)(intptr_t)0x1234;  // overwritten in every case
    EXPECT_EQ(CAUSE_WRITE_FAILED,
              DecodeWithFiles(exe.handle, (uint32_t)CHAIN_STORED.size(), 0, CHAIN_SIZE, &files));
    EXPECT_EQ(INVALID_HANDLE_VALUE, files.first);
    EXPECT_EQ(INVALID_HANDLE_VALUE, files.second);
    EXPECT_EQ("NEXT", FollowingBytes(exe.handle, 8));
    CloseWorkFiles(&files);  // nothing to close
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(missing.c_str()));
    EXPECT_EQ(Names({}), FolderNames());

    // The generator moved on as for any entry; the next entry with a folder
    // that exists again decodes normally.
    UseTemporaryFolder(folder.substr(0, folder.size() - 1));
    ASSERT_EQ(CAUSE_OK,
              DecodeWithFiles(exe.Rewound(), (uint32_t)CHAIN_STORED.size(), 0, CHAIN_SIZE, &files));
    EXPECT_EQ(Names({"ZevRzXE1.tmp", "ZevRzXE2.tmp"}), FolderNames());
    CloseWorkFiles(&files);
}
