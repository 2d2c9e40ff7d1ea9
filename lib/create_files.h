// The file services that create needs beside files.h: what a file or folder
// to be packed is, the entries of a folder, and the finishing of the output.
// create_files.cpp implements them with POSIX calls and UTF-8 paths,
// create_files_win32.cpp with the ANSI Win32 calls; the build picks one.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "platform/platform.h"

enum InputKind { INPUT_FILE, INPUT_FOLDER, INPUT_OTHER };

// What an archive keeps of a file or folder, as the system reports it.
struct InputInfo {
    InputKind kind;
    uint64_t size;                               // bytes, for a file
    uint64_t creation, last_access, last_write;  // FILETIMEs
    uint16_t attributes;  // Windows attributes to store: read-only, directory, ...
};

// A file or folder that the user named; a link there is followed.
bool InspectInput(const std::string& path, InputInfo* info, std::string* why);

// The same for a file open for reading, to tell whether it changed.
bool InspectOpenFile(FileHandle file, InputInfo* info);

struct FolderChild {
    std::string name;  // a name of this system, no path
    InputInfo info;    // a link is INPUT_OTHER: it is not followed
};

// The entries of a folder, without "." and "..", in no particular order.
// False with *failed (the folder or the entry) and *why.
bool ReadFolder(const std::string& folder, std::vector<FolderChild>* children, std::string* failed,
                std::string* why);

// Where a file lies, to recognise it under another path.
struct FileIdentity {
    uint64_t volume, index;
    bool operator==(const FileIdentity& other) const {
        return volume == other.volume && index == other.index;
    }
};
bool IdentifyFile(const std::string& path, FileIdentity* identity);

// The name under which an input goes into the archive: its last component,
// or the real name of the folder that "." or ".." stand for.
std::string InputName(const std::string& path);

// Flushes and closes the finished output (also on failure), executable where
// the system has such a permission and `executable` asks for it.
bool FinishOutput(FileHandle out, bool executable, std::string* why);
