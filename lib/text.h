// Entry names: code page 932 inside the archive. The native build shows and
// writes them as UTF-8 paths separated by '/' (text_iconv.cpp); the Windows
// build keeps the code page 932 bytes and separates with '\' (text_win32.cpp).
// Whether a name converts is a question, not a failure: the conversions
// answer a bool, and the caller words what it means for its work.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

// Splits an entry name at its single-byte backslashes (the same separator
// search the validation makes). A trailing backslash gives no last component.
std::vector<std::string> SplitEntryName(const std::string& cp932_name);

// The components of the entry name as names of this system. False when a
// component cannot be converted or could never be a name of its own (empty,
// a dot name, a separator or NUL inside).
bool EntryNameToComponents(const std::string& cp932_name, std::vector<std::string>* components);

// The entry name as a relative path of this system; false as above.
bool EntryNameToPath(const std::string& cp932_name, std::string* path);

// A name for messages: in the system's text form when it converts, otherwise
// with the bytes that do not shown as \xNN.
std::string PrintableName(const std::string& cp932_name);

// The same, cut to a short line: a name of a broken payload can be any 255
// bytes.
std::string ShortPrintableName(const std::string& cp932_name);

// A name that the system's folder listing gave, as a component of an entry
// name: code page 932 bytes that stand for exactly the same characters.
// False when a character has no code page 932 form.
bool LocalNameToCp932(const std::string& local_name, std::string* cp932);

// The separator of relative paths on this system: '/' or '\\'.
extern const char LOCAL_SEPARATOR;

// The bytes with every control byte, and every byte above 0x7E unless
// `keep_high_bytes`, shown as \xNN.
std::string EscapedBytes(const std::string& bytes, bool keep_high_bytes);

// The name as `list` shows it: the relative path, with a separator at the end
// for a folder; the printable name when it cannot be a path.
std::string ListedName(const std::string& cp932_name, bool folder);

// Bytes of the character of a text of this system (UTF-8, or the ANSI code
// page on Windows) that begins at `at`; at least 1.
size_t CharacterLengthAt(const std::string& text, size_t at);

// What Windows compares when it looks up one name component (code page 932
// bytes): the characters, with letters of either case alike and the dots and
// spaces at the end dropped. Two names with the same key are one file there.
std::string WindowsNameKey(const std::string& cp932_component);
