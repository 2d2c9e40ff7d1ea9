// Files, folders and payloads for the payload tests, on either system.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "payload/records.h"

typedef std::vector<uint8_t> Bytes;

// A new, empty folder of its own below the system's temporary folder.
std::string MakeScratchFolder();
std::string JoinPath(const std::string& folder, const std::string& name);
void WriteWholeFile(const std::string& path, const Bytes& bytes);
Bytes ReadWholeFile(const std::string& path);
// Names in a folder, without "." and "..", sorted.
std::vector<std::string> ListFolder(const std::string& folder);
// Removes a folder and everything below it.
void RemoveTree(const std::string& path);
void MakeFolder(const std::string& path);
// Points the temporary folder that validation uses at `folder` (TMPDIR, or TMP
// and TEMP on Windows).
void UseTemporaryFolder(const std::string& folder);

// One record to put into a payload. The stored bytes follow the fixed fields;
// `stored_size` may claim more or fewer than are given.
struct TestRecord {
    std::string name;
    uint32_t original_size;
    uint32_t stored_size;
    Bytes stored;
    uint16_t attribute_word;
};

TestRecord Folder(const std::string& name);
TestRecord File(const std::string& name, const Bytes& stored, uint32_t original_size);

// Writes `prefix` followed by the records (through WriteEntryRecord) to `path`.
void WritePayload(const std::string& path, const Bytes& prefix,
                  const std::vector<TestRecord>& records);
