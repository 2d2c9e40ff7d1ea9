// The file-system services that reading and extracting archives need.
// files_posix.cpp implements them with POSIX calls and UTF-8 '/'-separated
// paths, files_win32.cpp with the ANSI Win32 calls and code page 932
// '\'-separated paths; the build picks one.
//
// An operation that can fail answers a Status, with the system's number of
// the call that failed inside it, and writes one line naming the file into
// *why only then. Questions (KindIn, HandleOfDescriptor) answer plainly.
#pragma once

#include <stdint.h>

#include <string>

#include "platform/platform.h"
#include "platform/status.h"

// Opens an archive for reading into *file without waiting on it: a named
// pipe or a device is refused, as is anything but a regular file (OPEN_FAILED).
Status OpenArchiveFile(const std::string& path, FileHandle* file, std::string* why);

// The same for a descriptor of the C runtime: a handle of the archive's own
// for the same open file, refused unless it is a regular file.
Status OpenArchiveDescriptor(int descriptor, FileHandle* file, std::string* why);

// The handle through which a descriptor of the C runtime is written; it stays
// the descriptor's (not to be closed). NO_FILE when there is none.
FileHandle HandleOfDescriptor(int descriptor);

// A new, empty file beside `neighbour` (same folder, short hidden name, so a
// long neighbour name still leaves room), ready to be renamed over it, in
// *file (WRITE_FAILED when it cannot be made); *path receives its name. Until
// ForgetPartialFile, an interrupt that ends the process removes it
// (RemovePartialFileOnInterrupt).
Status CreateFileBeside(const std::string& neighbour, FileHandle* file, std::string* path);

// The file of CreateFileBeside is in place or removed: nothing to do for it.
void ForgetPartialFile();

// Removes the file of CreateFileBeside, if any, while the process is being
// ended: safe in a signal handler and in a console control handler.
void RemovePartialFileOnInterrupt();

// Renames the finished file `part` to `target`, replacing a file there.
// WRITE_FAILED when it cannot.
Status PutInPlace(const std::string& part, const std::string& target, std::string* why);

// Removes a file that must not be left behind, read-only or not.
void RemoveFile(const std::string& path);

// The folder part of a path ("." when there is none).
std::string ParentOf(const std::string& path);

// Position in `path` where its last component begins.
size_t LastComponentStart(const std::string& path);

// `path` without separators at its end, unless it is a root.
std::string WithoutTrailingSeparators(const std::string& path);

// `base` and a relative path of this system joined with one separator.
std::string JoinPath(const std::string& base, const std::string& relative);

// ---------------------------------------------------------------------------
// Extraction below a destination held open. Every folder below it is made and
// entered relative to the open handle of its parent, and no link is followed
// there: a folder swapped for a link while the extraction runs cannot send a
// file outside the destination.

// A folder held open: a descriptor, or on Windows a handle that also keeps the
// folder from being renamed or removed meanwhile. `path` is for messages, and
// for the calls that take paths.
struct OpenFolder {
    FileHandle handle = NO_FILE;
    std::string path;
};

// Makes the destination `path` with every missing parent and opens it. Links
// on the way are followed: the user chose the path. WRITE_FAILED when it
// cannot be made or opened (a dangling link, a file in the way).
Status OpenDestination(const std::string& path, OpenFolder* folder, std::string* why);

// Enters the folder `name` of `parent`, making it when missing. A link or any
// other non-folder standing there is refused (WRITE_FAILED: nothing is
// written there).
Status EnterFolder(const OpenFolder& parent, const std::string& name, OpenFolder* folder,
                   std::string* why);

void CloseFolder(OpenFolder* folder);

// What `name` in `folder` stands for, without following a link.
enum PathKind { PATH_MISSING, PATH_FOLDER, PATH_OTHER };
PathKind KindIn(const OpenFolder& folder, const std::string& name);

// A file being written inside a folder that has no name of its own yet: an
// unnamed file where the system has them, else one of a short hidden name.
struct PendingFile {
    FileHandle file = NO_FILE;
    std::string hidden_name;  // empty for an unnamed file
};

// What an extracted file receives: the stored FILETIMEs and the read-only state.
struct FileStamp {
    uint64_t creation, last_access, last_write;
    bool read_only;
};

// Starts a file in `folder`; until it is finished or abandoned, an interrupt
// removes it. WRITE_FAILED when it cannot be made.
Status StartFile(const OpenFolder& folder, PendingFile* pending, std::string* why);

// Gives the complete file its stamp and the name `name` in `folder`,
// replacing a file of that name only when `replace`. The file is closed in
// every case; on failure nothing of it is left (WRITE_FAILED).
Status FinishFileAs(const OpenFolder& folder, PendingFile* pending, const std::string& name,
                    const FileStamp& stamp, bool replace, std::string* why);

// Drops a file that must not be kept.
void AbandonFile(const OpenFolder& folder, PendingFile* pending);

// Sets an open folder's times; a zero FILETIME leaves that time alone.
void SetFolderTimes(const OpenFolder& folder, const FileStamp& stamp);

// The words of a system's error number (a Status's system_error).
std::string SystemErrorText(uint32_t code);
