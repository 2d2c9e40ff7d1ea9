#include "tests/decoder/work_files_support.h"

#include <stdio.h>

#include <algorithm>

#include "decoder/work_files.h"
#include "tests/test_hooks.h"

NameList Names(std::initializer_list<const char*> names) {
    NameList list(names.begin(), names.end());
    std::sort(list.begin(), list.end());
    return list;
}

NameList NamesIn(const std::string& folder) {
    NameList list;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return list;
    do {
        std::string name = found.cFileName;
        if (name != "." && name != "..") list.push_back(name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(list.begin(), list.end());
    return list;
}

Bytes ReadWhole(HANDLE file) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) return Bytes();
    Bytes contents((size_t)size.QuadPart);
    SetFilePointer(file, 0, NULL, FILE_BEGIN);
    DWORD done = 0;
    if (!contents.empty()) ReadFile(file, contents.data(), (DWORD)contents.size(), &done, NULL);
    contents.resize(done);
    return contents;
}

bool StoredStreamFor(const Bytes& stage4Input, Bytes* stored) {
    return RangeEncode(MtfEncode(BwtEncode(stage4Input)), 0, stored);
}

const std::string& OriginalTemporaryFolder() {
    static std::string folder;
    if (folder.empty()) {
        char buffer[MAX_PATH + 1] = {0};
        GetTempPathA(MAX_PATH, buffer);
        folder = buffer;
    }
    return folder;
}

static std::string UniqueName(const char* kind) {
    static unsigned counter = 0;
    char name[64];
    snprintf(name, sizeof name, "qv_%s_%lu_%u", kind, (unsigned long)GetCurrentProcessId(),
             ++counter);
    return name;
}

FakeExecutable::FakeExecutable(const Bytes& before, const Bytes& stored, const Bytes& after)
    : start((int64_t)before.size()) {
    std::string path = OriginalTemporaryFolder() + UniqueName("exe") + ".bin";
    handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                         FILE_FLAG_DELETE_ON_CLOSE, NULL);
    EXPECT_NE(INVALID_HANDLE_VALUE, handle) << path;
    Bytes all(before);
    all.insert(all.end(), stored.begin(), stored.end());
    all.insert(all.end(), after.begin(), after.end());
    DWORD done = 0;
    if (!all.empty()) WriteFile(handle, all.data(), (DWORD)all.size(), &done, NULL);
    EXPECT_EQ(all.size(), (size_t)done);
    Rewound();
}

FakeExecutable::~FakeExecutable() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
}

HANDLE FakeExecutable::Rewound() {
    LARGE_INTEGER distance;
    distance.QuadPart = start;
    SetFilePointerEx(handle, distance, NULL, FILE_BEGIN);
    return handle;
}

void WorkFolderTest::SetUp() {
    char saved[4096];
    DWORD length = GetEnvironmentVariableA("TMP", saved, sizeof saved);
    hadTmp = length > 0 && length < sizeof saved;
    if (hadTmp) savedTmp = saved;
    folder = OriginalTemporaryFolder() + UniqueName("work") + "\\";
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), NULL)) << folder;
    UseTemporaryFolder(folder.substr(0, folder.size() - 1));
    RandomState = 1;
}

void WorkFolderTest::TearDown() {
    BeforeWorkFileOpen = nullptr;
    SetEnvironmentVariableA("TMP", hadTmp ? savedTmp.c_str() : NULL);
    // Anything a failed test left behind goes, so the next test starts clean.
    for (const std::string& name : NamesIn(folder)) {
        std::string path = folder + name;
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!DeleteFileA(path.c_str())) RemoveDirectoryA(path.c_str());
    }
    EXPECT_TRUE(RemoveDirectoryA(folder.c_str())) << folder;
}

void WorkFolderTest::UseTemporaryFolder(const std::string& path) {
    ASSERT_TRUE(SetEnvironmentVariableA("TMP", path.c_str()));
    char check[MAX_PATH + 1] = {0};
    GetTempPathA(MAX_PATH, check);
    ASSERT_EQ(path + "\\", std::string(check)) << "TMP not honoured";
}

void WorkFolderTest::PlaceFile(const char* name) {
    HANDLE file = CreateFileA((folder + name).c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, file) << name;
    CloseHandle(file);
}

void WorkFolderTest::PlaceFolder(const char* name) {
    ASSERT_TRUE(CreateDirectoryA((folder + name).c_str(), NULL)) << name;
}

void WorkFolderTest::RemovePlaced(const char* name) {
    std::string path = folder + name;
    if (!DeleteFileA(path.c_str())) RemoveDirectoryA(path.c_str());
    ASSERT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(path.c_str())) << name;
}

Cause DecodeWithFiles(HANDLE executable, uint32_t storedSize, uint32_t odd_rescale,
                      uint32_t originalSize, WorkFiles* files, MessagePump pump) {
    StoredEntry entry = {storedSize, originalSize, odd_rescale != 0};
    return DecodeStoredEntry(executable, entry, pump, files).cause;
}
