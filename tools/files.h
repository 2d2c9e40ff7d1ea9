// The file-system services of the command-line tool.
#pragma once

#include <stdint.h>
#include <sys/stat.h>
#include <time.h>

#include <string>

#include "platform/platform.h"

// The user's temporary folder, without a final '/'.
std::string TemporaryFolder();

// A new file that no other name points to: it goes away when closed. In the
// temporary folder, or in `folder` when one is given. NO_FILE on failure.
FileHandle CreateAnonymousFile(const std::string& folder = std::string());

// A new, empty file beside `near` (same folder, hidden name), ready to be
// renamed over it. NO_FILE on failure; *path receives its name.
FileHandle CreateFileBeside(const std::string& near, std::string* path);

// 100-nanosecond intervals since 1601-01-01 UTC, and back.
uint64_t ToFiletime(const struct timespec& time);
struct timespec FromFiletime(uint64_t filetime);

// Creation time when the file system keeps one, else the last-write time.
uint64_t CreationFiletime(const std::string& path, const struct stat& info);

// Creates the destination folder `path` with every missing parent. Links on
// the way are followed: the user chose the path.
bool MakeDestination(const std::string& path, std::string* why);

// Creates the folders of `relative` ('/'-separated) below `base`. Inside the
// destination no symbolic link is followed: one that stands where a folder
// should be is refused (false, *why set), as is any other non-folder.
bool MakeFoldersBelow(const std::string& base, const std::string& relative, std::string* why);

// The folder part of a path ("." when there is none).
std::string ParentOf(const std::string& path);

// Permission bits the process would give a new file (0666 less the umask).
mode_t NewFileMode();

std::string SystemError(int error);
