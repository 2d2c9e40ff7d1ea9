// The file-system and console services of the command-line tool that list,
// test and extract need. files.cpp implements them with POSIX calls and UTF-8
// '/'-separated paths, files_win32.cpp with the ANSI Win32 calls and code page
// 932 '\'-separated paths; the build picks one.
#pragma once

#include <stdint.h>

#include <string>

#include "platform/platform.h"

// The user's temporary folder, for messages and for CreateAnonymousFile.
std::string TemporaryFolder();

// A new file that no other name points to once it is closed: it goes away
// then. In the temporary folder, or in `folder` when one is given. NO_FILE on
// failure.
FileHandle CreateAnonymousFile(const std::string& folder = std::string());

// A new, empty file beside `neighbour` (same folder, hidden name), ready to be
// renamed over it. NO_FILE on failure; *path receives its name.
FileHandle CreateFileBeside(const std::string& neighbour, std::string* path);

// True when the open file is a plain file (not a folder, device or pipe).
bool IsRegularFile(FileHandle file);

// The folder part of a path ("." when there is none).
std::string ParentOf(const std::string& path);

// Position in `path` where its last component begins.
size_t LastComponentStart(const std::string& path);

// `path` without separators at its end, unless it is a root.
std::string WithoutTrailingSeparators(const std::string& path);

// `base` and a relative path of this system joined with one separator.
std::string JoinPath(const std::string& base, const std::string& relative);

// Creates the destination folder `path` with every missing parent. Links on
// the way are followed: the user chose the path.
bool MakeDestination(const std::string& path, std::string* why);

// Creates the folders of `relative` (a relative path of this system) below
// `base`. Inside the destination no link is followed: one that stands where a
// folder should be is refused (false, *why set), as is any other non-folder.
bool MakeFoldersBelow(const std::string& base, const std::string& relative, std::string* why);

// What a name stands for, without following a link at its end.
enum PathKind { PATH_MISSING, PATH_FOLDER, PATH_OTHER };
PathKind KindOf(const std::string& path);

// What an extracted file receives: the stored FILETIMEs and the read-only state.
struct FileStamp {
    uint64_t creation, last_access, last_write;
    bool read_only;
};

// Gives the complete file `file`, open under `path`, its stamp and closes it
// (also on failure). False, with *why, when a time, the state or the final
// write could not be made.
bool FinishFile(FileHandle file, const std::string& path, const FileStamp& stamp, std::string* why);

// Renames the finished file `part` to `target`, replacing a file there.
bool PutInPlace(const std::string& part, const std::string& target, std::string* why);

// Removes a file that must not be left behind, read-only or not.
void RemoveFile(const std::string& path);

// Sets a folder's times; a zero FILETIME leaves that time alone.
void SetFolderTimes(const std::string& path, const FileStamp& stamp);

// The last system error as text.
std::string LastSystemError();

// A FILETIME as local "YYYY-MM-DD hh:mm:ss"; empty when it cannot be shown.
std::string LocalTimeText(uint64_t filetime);

// True when standard input, or standard error, is a terminal or console.
bool InputIsInteractive();
bool ErrorIsInteractive();

// Seconds from some fixed point, for rates.
double MonotonicSeconds();
