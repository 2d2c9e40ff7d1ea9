// POSIX side of the tool's file services: UTF-8 paths separated by '/'.
#include "tools/files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "tools/archive_time.h"
#include "tools/files_posix.h"

#include <vector>

std::string TemporaryFolder() {
    const char* from_environment = getenv("TMPDIR");
    std::string folder = (from_environment && *from_environment) ? from_environment : "/tmp";
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
}

namespace {

int MakeTemporary(const std::string& pattern_text, std::string* path) {
    std::vector<char> pattern(pattern_text.begin(), pattern_text.end());
    pattern.push_back('\0');
    int file = mkostemp(pattern.data(), O_CLOEXEC);
    if (file >= 0 && path) *path = pattern.data();
    return file;
}

}  // namespace

FileHandle CreateAnonymousFile(const std::string& folder) {
    std::string path;
    int file = MakeTemporary(
        (folder.empty() ? TemporaryFolder() : folder) + "/.quorvane-work-XXXXXX", &path);
    if (file < 0) return NO_FILE;
    unlink(path.c_str());  // deleted on close, like a work file
    return file;
}

FileHandle CreateFileBeside(const std::string& neighbour, std::string* path) {
    std::string folder = ParentOf(neighbour);
    std::string base = neighbour.substr(LastComponentStart(neighbour));
    int file = MakeTemporary(folder + "/." + base + ".part-XXXXXX", path);
    return file < 0 ? NO_FILE : file;
}

uint64_t ToFiletime(const struct timespec& time) {
    if ((int64_t)time.tv_sec < -UNIX_EPOCH_IN_FILETIME_SECONDS) return 0;
    return ((uint64_t)((int64_t)time.tv_sec + UNIX_EPOCH_IN_FILETIME_SECONDS)) * 10000000u +
           (uint64_t)time.tv_nsec / 100;
}

struct timespec FromFiletime(uint64_t filetime) {
    struct timespec time;
    time.tv_sec = (time_t)((int64_t)(filetime / 10000000u) - UNIX_EPOCH_IN_FILETIME_SECONDS);
    time.tv_nsec = (long)(filetime % 10000000u) * 100;
    return time;
}

uint64_t CreationFiletime(const std::string& path, const struct stat& info) {
#ifdef STATX_BTIME
    struct statx extended;
    if (statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME, &extended) == 0 &&
        (extended.stx_mask & STATX_BTIME)) {
        struct timespec born;
        born.tv_sec = (time_t)extended.stx_btime.tv_sec;
        born.tv_nsec = (long)extended.stx_btime.tv_nsec;
        return ToFiletime(born);
    }
#else
    (void)path;
#endif
    return ToFiletime(info.st_mtim);
}

bool IsRegularFile(FileHandle file) {
    struct stat info;
    return fstat(file, &info) == 0 && S_ISREG(info.st_mode);
}

std::string ParentOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

size_t LastComponentStart(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

std::string WithoutTrailingSeparators(const std::string& original) {
    std::string path = original;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::string JoinPath(const std::string& base, const std::string& relative) {
    if (base.empty()) return relative;
    return base.back() == '/' ? base + relative : base + "/" + relative;
}

bool MakeDestination(const std::string& path, std::string* why) {
    size_t position = 0;
    while (position <= path.size()) {
        size_t slash = path.find('/', position);
        if (slash == std::string::npos) slash = path.size();
        std::string prefix = path.substr(0, slash);
        position = slash + 1;
        if (prefix.empty()) continue;
        struct stat info;
        if (stat(prefix.c_str(), &info) == 0) {
            if (S_ISDIR(info.st_mode)) continue;
            *why = prefix + " exists and is not a folder";
            return false;
        }
        if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
            *why = "cannot create folder " + prefix + ": " + SystemError(errno);
            return false;
        }
    }
    return true;
}

bool MakeFoldersBelow(const std::string& base, const std::string& relative, std::string* why) {
    size_t position = 0;
    while (position < relative.size()) {
        size_t slash = relative.find('/', position);
        if (slash == std::string::npos) slash = relative.size();
        std::string path = JoinPath(base, relative.substr(0, slash));
        position = slash + 1;
        struct stat info;
        if (lstat(path.c_str(), &info) == 0) {
            if (S_ISDIR(info.st_mode)) continue;
            if (S_ISLNK(info.st_mode)) {
                *why = "refusing to follow the symbolic link " + path;
            } else {
                *why = path + " exists and is not a folder";
            }
            return false;
        }
        if (errno != ENOENT || mkdir(path.c_str(), 0777) != 0) {
            *why = "cannot create folder " + path + ": " + SystemError(errno);
            return false;
        }
    }
    return true;
}

mode_t NewFileMode() {
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

PathKind KindOf(const std::string& path) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) return PATH_MISSING;
    return S_ISDIR(info.st_mode) ? PATH_FOLDER : PATH_OTHER;
}

bool FinishFile(FileHandle file, const std::string& path, const FileStamp& stamp,
                std::string* why) {
    (void)path;  // the open descriptor is enough here
    mode_t mode = NewFileMode();
    if (stamp.read_only) mode &= ~(mode_t)0222;
    // Linux keeps no settable creation time; access and write times only.
    struct timespec times[2] = {FromFiletime(stamp.last_access), FromFiletime(stamp.last_write)};
    bool ok = true;
    if (fchmod(file, mode) != 0 || futimens(file, times) != 0) {
        *why = "cannot set its times or permissions: " + SystemError(errno);
        ok = false;
    }
    if (close(file) != 0 && ok) {
        *why = "writing failed: " + SystemError(errno);
        ok = false;
    }
    return ok;
}

bool PutInPlace(const std::string& part, const std::string& target, std::string* why) {
    if (rename(part.c_str(), target.c_str()) == 0) return true;
    *why = "cannot put the file in place: " + SystemError(errno);
    return false;
}

void RemoveFile(const std::string& path) { unlink(path.c_str()); }

void SetFolderTimes(const std::string& path, const FileStamp& stamp) {
    struct timespec times[2] = {FromFiletime(stamp.last_access), FromFiletime(stamp.last_write)};
    if (stamp.last_access == 0) times[0].tv_nsec = UTIME_OMIT;
    if (stamp.last_write == 0) times[1].tv_nsec = UTIME_OMIT;
    utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

std::string SystemError(int error) { return strerror(error); }

std::string LastSystemError() { return SystemError(errno); }

std::string LocalTimeText(uint64_t filetime) {
    struct timespec time = FromFiletime(filetime);
    struct tm parts;
    char text[32];
    if (!localtime_r(&time.tv_sec, &parts) ||
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts) == 0) {
        return std::string();
    }
    return text;
}

bool InputIsInteractive() { return isatty(STDIN_FILENO) != 0; }
bool ErrorIsInteractive() { return isatty(STDERR_FILENO) != 0; }

double MonotonicSeconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}
