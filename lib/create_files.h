// The file services that create needs beside files.h: what a file or folder
// to be packed is, the entries of a folder held open, the output's own kind,
// and the finishing of the output. create_files_posix.cpp implements them
// with POSIX calls and UTF-8 paths, create_files_win32.cpp with the ANSI
// Win32 calls; the build picks one.
//
// Every file and folder below an input is reached from its parent folder held
// open, without following a link, and must be what the listing saw (same kind,
// same file by volume and index): a name swapped for a link, a pipe or another
// file between the listing and the reading is refused, never read.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "lib/files.h"
#include "platform/platform.h"
#include "platform/status.h"

enum InputKind { INPUT_FILE, INPUT_FOLDER, INPUT_OTHER };

// Where a file lies, to recognise it under another path or name.
struct FileIdentity {
    uint64_t volume, index;
    bool operator==(const FileIdentity& other) const {
        return volume == other.volume && index == other.index;
    }
};

// What an archive keeps of a file or folder, as the system reports it.
struct InputInfo {
    InputKind kind;
    uint64_t size;                               // bytes, for a file
    uint64_t creation, last_access, last_write;  // FILETIMEs
    uint16_t attributes;  // Windows attributes to store: read-only, directory, ...
    FileIdentity identity;
};

// Each call that can fail answers a Status with the system's error number
// inside, and, where it can name the file, one line for the user in *why;
// nothing is written there on success.

// Opens a file or folder that the user named (a link there is followed: the
// user chose the path) for reading or listing. Anything but a regular file or
// a folder is refused at once, without waiting on it: CAUSE_OPEN_FAILED.
Status OpenInput(const std::string& path, FileHandle* handle, InputInfo* info, std::string* why);

// What an open file is now, to tell whether it changed. CAUSE_READ_FAILED
// when the system cannot say.
Status InspectOpenFile(FileHandle file, InputInfo* info);

struct FolderChild {
    std::string name;  // a name of this system, no path
    InputInfo info;    // a link is INPUT_OTHER: it is not followed
};

// The entries of an open folder, without "." and "..", in no particular
// order. CAUSE_READ_FAILED, *why naming the folder or the entry.
Status ReadFolder(const OpenFolder& folder, std::vector<FolderChild>* children, std::string* why);

// Opens the child `name` of an open folder as the listing saw it (`listed`):
// no link is followed. CAUSE_CHANGED for anything that is not that same file
// or folder any more; CAUSE_READ_FAILED when it cannot be opened.
Status OpenListed(const OpenFolder& parent, const std::string& name, const InputInfo& listed,
                  FileHandle* handle, std::string* why);

// What stands at the output path before it is replaced: *exists false when
// nothing does; *exists and *identity for a regular file. A link, a folder, a
// device or a pipe is refused (CAUSE_OPEN_FAILED): the finished archive would
// replace it, or write into what it stands for.
Status InspectOutput(const std::string& path, bool* exists, FileIdentity* identity,
                     std::string* why);

// The identity of the folder that holds `path`; CAUSE_OPEN_FAILED when it
// cannot be opened.
Status IdentifyParent(const std::string& path, FileIdentity* identity);

// The name under which an input goes into the archive: its last component,
// or the real name of the folder that "." or ".." stand for.
std::string InputName(const std::string& path);

// Flushes and closes the finished output `out`, which messages call `output`
// (closed also on failure: CAUSE_WRITE_FAILED), executable where the system
// has such a permission and `executable` asks for it.
Status FinishOutput(FileHandle out, bool executable, const std::string& output, std::string* why);
