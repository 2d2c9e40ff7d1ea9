// Entry names: code page 932 inside the archive, UTF-8 on this system.
#pragma once

#include <string>
#include <vector>

// Exact conversions; false when a character has no counterpart.
bool Utf8ToCp932(const std::string& utf8, std::string* cp932);
bool Cp932ToUtf8(const std::string& cp932, std::string* utf8);

// Splits an entry name at its single-byte backslashes (the same separator
// search the validation makes). A trailing backslash gives no last component.
std::vector<std::string> SplitEntryName(const std::string& cp932_name);

// The entry name as a relative path of this system: components converted to
// UTF-8 and joined with '/'. False when a component cannot be converted.
bool EntryNameToPath(const std::string& cp932_name, std::string* path);

// A name for messages: UTF-8 when it converts, otherwise with the bytes
// that do not shown as \xNN.
std::string PrintableName(const std::string& cp932_name);
