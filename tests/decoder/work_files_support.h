// Test support for the work files: a private temporary folder per test, and
// stand-ins for the executable and other files, all removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "decoder/work_files.h"
#include "tests/codec/codec_test_util.h"

typedef std::vector<std::string> NameList;

// The names given, sorted as FolderNames sorts.
NameList Names(std::initializer_list<const char*> names);
// The names (files and folders) in `folder`, which ends in a backslash; sorted.
NameList NamesIn(const std::string& folder);
// The whole contents of an open file; leaves it positioned at its end.
Bytes ReadWhole(HANDLE file);
// The temporary folder of the process as it was before any test changed it.
const std::string& OriginalTemporaryFolder();

// The stored bytes of an entry whose second work file, after stage 3, holds
// `stage4Input`: the test-side writers of stages 3, 2 and 1 in turn. False when
// the range coder cannot represent the stream.
bool StoredStreamFor(const Bytes& stage4Input, Bytes* stored);

// A file outside the test's temporary folder holding before + stored + after,
// positioned at the first stored byte; deleted when the object goes.
struct FakeExecutable {
    FakeExecutable(const Bytes& before, const Bytes& stored, const Bytes& after);
    ~FakeExecutable();
    FakeExecutable(const FakeExecutable&) = delete;
    FakeExecutable& operator=(const FakeExecutable&) = delete;
    // Back to the first stored byte.
    HANDLE Rewound();

    HANDLE handle;
    int64_t start;
};

// DecodeStoredEntry for an entry of these sizes, with the pump given (none
// by default).
Cause DecodeWithFiles(HANDLE executable, uint32_t storedSize, uint32_t odd_rescale,
                      uint32_t originalSize, WorkFiles* files, MessagePump pump = NO_PUMP);

// Gives each test an empty temporary folder of its own (through TMP) and the
// generator at its start value; removes the folder afterwards.
class WorkFolderTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Points TMP at `path` (given without a final backslash).
    void UseTemporaryFolder(const std::string& path);
    NameList FolderNames() const { return NamesIn(folder); }
    void PlaceFile(const char* name);
    void PlaceFolder(const char* name);
    void RemovePlaced(const char* name);

    std::string folder;  // ends in a backslash

private:
    std::string savedTmp;
    bool hadTmp = false;
};
