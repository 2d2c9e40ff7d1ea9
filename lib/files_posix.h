// Native helpers beside files.h that only the native build needs: times,
// creation times and permission bits of stat (files.cpp, create_files.cpp).
#pragma once

#include <stdint.h>
#include <sys/stat.h>
#include <time.h>

#include <string>

// 100-nanosecond intervals since 1601-01-01 UTC, and back.
uint64_t ToFiletime(const struct timespec& time);
struct timespec FromFiletime(uint64_t filetime);

// Creation time when the file system keeps one, else the last-write time:
// of `name` in the folder `folder` (a descriptor) without following a link,
// or of the open file `folder` itself when `name` is empty.
uint64_t CreationFiletime(int folder, const char* name, const struct stat& info);

// Permission bits the process would give a new file (0666 less the umask).
mode_t NewFileMode();
