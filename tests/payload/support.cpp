#include "support.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

std::string JoinPath(const std::string& folder, const std::string& name) {
#ifdef _WIN32
    return folder + "\\" + name;
#else
    return folder + "/" + name;
#endif
}

std::string MakeScratchFolder() {
#ifdef _WIN32
    // The system's folder as it was at the first call: tests move TMP around.
    static std::string base;
    if (base.empty()) {
        char buffer[MAX_PATH + 1] = {0};
        GetTempPathA(MAX_PATH, buffer);
        base = buffer;
    }
    static unsigned counter = 0;
    for (;;) {
        char name[MAX_PATH + 64];
        snprintf(name, sizeof name, "%spayload-test-%lu-%u", base.c_str(), GetCurrentProcessId(),
                 counter++);
        if (CreateDirectoryA(name, NULL)) return name;
        if (GetLastError() != ERROR_ALREADY_EXISTS) throw std::runtime_error("no scratch folder");
    }
#else
    // The system's folder as it was at the first call: tests move TMPDIR around.
    static std::string base;
    if (base.empty()) {
        const char* from_environment = getenv("TMPDIR");
        base = from_environment && *from_environment ? from_environment : "/tmp";
    }
    std::string pattern = base + "/payload-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) throw std::runtime_error("no scratch folder");
    return buffer.data();
#endif
}

void WriteWholeFile(const std::string& path, const Bytes& bytes) {
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) throw std::runtime_error("cannot write " + path);
    if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
}

Bytes ReadWholeFile(const std::string& path) {
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) throw std::runtime_error("cannot read " + path);
    Bytes bytes;
    uint8_t buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.insert(bytes.end(), buffer, buffer + got);
    fclose(file);
    return bytes;
}

std::vector<std::string> ListFolder(const std::string& folder) {
    std::vector<std::string> names;
#ifdef _WIN32
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(JoinPath(folder, "*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name != "." && name != "..") names.push_back(name);
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
#else
    DIR* dir = opendir(folder.c_str());
    if (dir) {
        while (struct dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
    }
#endif
    std::sort(names.begin(), names.end());
    return names;
}

void RemoveTree(const std::string& path) {
#ifdef _WIN32
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        for (const std::string& name : ListFolder(path)) RemoveTree(JoinPath(path, name));
        RemoveDirectoryA(path.c_str());
    } else {
        DeleteFileA(path.c_str());
    }
#else
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) return;
    if (S_ISDIR(info.st_mode)) {
        chmod(path.c_str(), 0700);
        for (const std::string& name : ListFolder(path)) RemoveTree(JoinPath(path, name));
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
#endif
}

void MakeFolder(const std::string& path) {
#ifdef _WIN32
    CreateDirectoryA(path.c_str(), NULL);
#else
    mkdir(path.c_str(), 0755);
#endif
}

void UseTemporaryFolder(const std::string& folder) {
#ifdef _WIN32
    SetEnvironmentVariableA("TMP", folder.c_str());
    SetEnvironmentVariableA("TEMP", folder.c_str());
#else
    setenv("TMPDIR", folder.c_str(), 1);
#endif
}

TestRecord Folder(const std::string& name) {
    return TestRecord{name, 0, 0, Bytes(), ATTRIBUTE_DIRECTORY};
}

TestRecord File(const std::string& name, const Bytes& stored, uint32_t original_size) {
    return TestRecord{name, original_size, (uint32_t)stored.size(), stored,
                      (uint16_t)(ATTRIBUTE_ARCHIVE | ODD_RESCALE)};
}

void WritePayload(const std::string& path, const Bytes& prefix,
                  const std::vector<TestRecord>& records) {
    FileHandle file = CreateReadWrite(path.c_str());
    if (file == NO_FILE) throw std::runtime_error("cannot create " + path);
    if (!prefix.empty()) WriteBytes(file, prefix.data(), (uint32_t)prefix.size());
    for (const TestRecord& r : records) {
        EntryRecord record;
        memset(&record, 0, sizeof record);
        record.nameLength = (uint8_t)r.name.size();
        memcpy(record.name, r.name.data(), r.name.size());
        record.creationTime = 0x01D0000000000000ull;
        record.lastAccessTime = 0x01D0000000000001ull;
        record.lastWriteTime = 0x01D0000000000002ull;
        record.attributeWord = r.attribute_word;
        record.originalSize = r.original_size;
        record.storedSize = r.stored_size;
        if (!WriteEntryRecord(file, &record).ok()) throw std::runtime_error("record not written");
        if (!r.stored.empty()) WriteBytes(file, r.stored.data(), (uint32_t)r.stored.size());
    }
    CloseFile(file);
}
