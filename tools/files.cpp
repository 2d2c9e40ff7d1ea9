#include "tools/files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

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

FileHandle CreateFileBeside(const std::string& near, std::string* path) {
    std::string folder = ParentOf(near);
    std::string base =
        near.substr(near.find_last_of('/') == std::string::npos ? 0 : near.find_last_of('/') + 1);
    int file = MakeTemporary(folder + "/." + base + ".part-XXXXXX", path);
    return file < 0 ? NO_FILE : file;
}

// 1601-01-01 to 1970-01-01 in seconds.
static const int64_t kEpochDifference = 11644473600LL;

uint64_t ToFiletime(const struct timespec& time) {
    if ((int64_t)time.tv_sec < -kEpochDifference) return 0;
    return ((uint64_t)((int64_t)time.tv_sec + kEpochDifference)) * 10000000u +
           (uint64_t)time.tv_nsec / 100;
}

struct timespec FromFiletime(uint64_t filetime) {
    struct timespec time;
    time.tv_sec = (time_t)((int64_t)(filetime / 10000000u) - kEpochDifference);
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

std::string ParentOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
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
        std::string path = base + "/" + relative.substr(0, slash);
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

std::string SystemError(int error) { return strerror(error); }
