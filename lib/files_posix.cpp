// POSIX side of the tool's file services: UTF-8 paths separated by '/'.
#include "lib/files.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <vector>

#include "lib/archive_time.h"
#include "lib/files_posix.h"

namespace {

// A short hidden name no file has: ".qv-" and eight characters. Short, so that
// a name of 255 bytes still leaves room beside it.
std::string HiddenName() {
    static const char kLetters[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::random_device random;
    std::string name = ".qv-";
    for (int i = 0; i < 8; i++) name += kLetters[random() % 36];
    return name;
}

// The partial output for a signal handler: the path is complete before the
// flag says so, and the flag is cleared before the path changes.
char partial_file[PATH_MAX];
volatile sig_atomic_t partial_file_set = 0;

void SetPartialFile(const std::string& path) {
    partial_file_set = 0;
    if (path.size() >= sizeof partial_file) return;
    memcpy(partial_file, path.c_str(), path.size() + 1);
    atomic_signal_fence(std::memory_order_seq_cst);
    partial_file_set = 1;
}

// Creates a new file of a hidden name in the folder `folder` (a descriptor,
// or AT_FDCWD with `prefix` the folder's path and a separator). A `partial`
// output is known to the signal handler before it exists: an interrupt right
// after its creation still finds it.
Status CreateHidden(int folder, const std::string& prefix, std::string* name, bool partial,
                    int* file) {
    int error = EEXIST;
    for (int attempt = 0; attempt < 100 && error == EEXIST; attempt++) {
        *name = HiddenName();
        if (partial) SetPartialFile(prefix + *name);
        *file = openat(folder, (prefix + *name).c_str(),
                       O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (*file >= 0) return STATUS_OK;
        error = errno;
        if (partial) partial_file_set = 0;
    }
    *file = NO_FILE;
    return Failed(CAUSE_WRITE_FAILED, error);
}

}  // namespace

Status OpenArchiveFile(const std::string& path, FileHandle* file, std::string* why) {
    // Without O_NONBLOCK opening a named pipe waits for a writer, for ever.
    *file = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (*file < 0) {
        int error = errno;
        *why = "cannot open " + path + ": " + SystemErrorText(error);
        return Failed(CAUSE_OPEN_FAILED, error);
    }
    struct stat info;
    if (fstat(*file, &info) != 0 || !S_ISREG(info.st_mode)) {
        *why = path + " is not a regular file";
        close(*file);
        *file = NO_FILE;
        return Failed(CAUSE_OPEN_FAILED);
    }
    fcntl(*file, F_SETFL, fcntl(*file, F_GETFL) & ~O_NONBLOCK);
    return STATUS_OK;
}

Status OpenArchiveDescriptor(int descriptor, FileHandle* file, std::string* why) {
    *file = NO_FILE;
    struct stat info;
    if (fstat(descriptor, &info) != 0) {
        int error = errno;
        *why = "the descriptor " + std::to_string(descriptor) +
               " cannot be used: " + SystemErrorText(error);
        return Failed(CAUSE_OPEN_FAILED, error);
    }
    if (!S_ISREG(info.st_mode)) {
        *why = "the descriptor " + std::to_string(descriptor) + " is not a regular file";
        return Failed(CAUSE_OPEN_FAILED);
    }
    *file = fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    if (*file >= 0) return STATUS_OK;
    int error = errno;
    *file = NO_FILE;
    *why = "cannot use the descriptor: " + SystemErrorText(error);
    return Failed(CAUSE_OPEN_FAILED, error);
}

FileHandle HandleOfDescriptor(int descriptor) { return descriptor; }

Status CreateFileBeside(const std::string& neighbour, FileHandle* file, std::string* path) {
    std::string folder = ParentOf(neighbour) + "/";
    std::string name;
    Status status = CreateHidden(AT_FDCWD, folder, &name, true, file);
    if (status.ok()) *path = folder + name;
    return status;
}

void ForgetPartialFile() { partial_file_set = 0; }

void RemovePartialFileOnInterrupt() {
    if (partial_file_set) unlink(partial_file);
}

uint64_t ToFiletime(const struct timespec& time) {
    return FiletimeOfUnix((int64_t)time.tv_sec, (uint32_t)time.tv_nsec);
}

struct timespec FromFiletime(uint64_t filetime) {
    struct timespec time;
    time.tv_sec = (time_t)((int64_t)(filetime / 10000000u) - UNIX_EPOCH_IN_FILETIME_SECONDS);
    time.tv_nsec = (long)(filetime % 10000000u) * 100;
    return time;
}

uint64_t CreationFiletime(int folder, const char* name, const struct stat& info) {
#ifdef STATX_BTIME
    struct statx extended;
    int flags = *name ? AT_SYMLINK_NOFOLLOW : AT_EMPTY_PATH;
    if (statx(folder, name, flags, STATX_BTIME, &extended) == 0 &&
        (extended.stx_mask & STATX_BTIME)) {
        struct timespec born;
        born.tv_sec = (time_t)extended.stx_btime.tv_sec;
        born.tv_nsec = (long)extended.stx_btime.tv_nsec;
        return ToFiletime(born);
    }
#else
    (void)folder;
    (void)name;
#endif
    return ToFiletime(info.st_mtim);
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

Status PutInPlace(const std::string& part, const std::string& target, std::string* why) {
    if (rename(part.c_str(), target.c_str()) == 0) return STATUS_OK;
    int error = errno;
    *why = "cannot put the file in place: " + SystemErrorText(error);
    return Failed(CAUSE_WRITE_FAILED, error);
}

void RemoveFile(const std::string& path) { unlink(path.c_str()); }

mode_t NewFileMode() {
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

Status OpenDestination(const std::string& path, OpenFolder* folder, std::string* why) {
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
            *why = "the destination cannot be made: " + prefix + " exists and is not a folder";
            return Failed(CAUSE_WRITE_FAILED);
        }
        // A link whose target is missing: following it would make the folder elsewhere.
        if (lstat(prefix.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
            *why = "the destination cannot be made: " + prefix +
                   " is a symbolic link to something that does not exist";
            return Failed(CAUSE_WRITE_FAILED);
        }
        if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
            int error = errno;
            *why = "the destination cannot be made: cannot create folder " + prefix + ": " +
                   SystemErrorText(error);
            return Failed(CAUSE_WRITE_FAILED, error);
        }
    }
    folder->handle = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    folder->path = path;
    if (folder->handle < 0) {
        int error = errno;
        *why = "the destination " + path + " cannot be opened: " + SystemErrorText(error);
        return Failed(CAUSE_WRITE_FAILED, error);
    }
    return STATUS_OK;
}

Status EnterFolder(const OpenFolder& parent, const std::string& name, OpenFolder* folder,
                   std::string* why) {
    folder->path = JoinPath(parent.path, name);
    if (mkdirat(parent.handle, name.c_str(), 0777) != 0 && errno != EEXIST) {
        int error = errno;
        *why = "cannot create folder " + folder->path + ": " + SystemErrorText(error);
        return Failed(CAUSE_WRITE_FAILED, error);
    }
    folder->handle =
        openat(parent.handle, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder->handle >= 0) return STATUS_OK;
    int error = errno;
    struct stat info;
    if (fstatat(parent.handle, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(info.st_mode)) {
        *why = "refusing to follow the symbolic link " + folder->path;
        return Failed(CAUSE_WRITE_FAILED);
    }
    if (error == ENOTDIR) {
        *why = folder->path + " exists and is not a folder";
        return Failed(CAUSE_WRITE_FAILED);
    }
    *why = "cannot open folder " + folder->path + ": " + SystemErrorText(error);
    return Failed(CAUSE_WRITE_FAILED, error);
}

void CloseFolder(OpenFolder* folder) {
    CloseFile(folder->handle);
    folder->handle = NO_FILE;
}

PathKind KindIn(const OpenFolder& folder, const std::string& name) {
    struct stat info;
    if (fstatat(folder.handle, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return PATH_MISSING;
    return S_ISDIR(info.st_mode) ? PATH_FOLDER : PATH_OTHER;
}

Status StartFile(const OpenFolder& folder, PendingFile* pending, std::string* why) {
    pending->hidden_name.clear();
#ifdef O_TMPFILE
    // A file without a name: nothing is left behind whatever ends the program.
    pending->file = openat(folder.handle, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (pending->file >= 0) return STATUS_OK;
#endif
    Status status = CreateHidden(folder.handle, "", &pending->hidden_name, false, &pending->file);
    if (!status.ok())
        *why =
            "cannot create a file in " + folder.path + ": " + SystemErrorText(status.system_error);
    return status;
}

namespace {

// Gives the unnamed file `file` the name `name` in `folder`. The link through
// /proc needs no privilege; AT_EMPTY_PATH is the way without /proc.
Status LinkUnnamed(int file, int folder, const std::string& name) {
    char self[64];
    snprintf(self, sizeof self, "/proc/self/fd/%d", file);
    if (linkat(AT_FDCWD, self, folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return STATUS_OK;
    int error = errno;
#ifdef AT_EMPTY_PATH
    if (error != EEXIST) {
        if (linkat(file, "", folder, name.c_str(), AT_EMPTY_PATH) == 0) return STATUS_OK;
        error = errno;
    }
#endif
    return Failed(CAUSE_WRITE_FAILED, error);
}

// Puts the hidden file in place as `name`: replacing a file there, or only
// when the name is still free.
Status Rename(int folder, const std::string& hidden, const std::string& name, bool replace) {
    if (replace) {
        if (renameat(folder, hidden.c_str(), folder, name.c_str()) == 0) return STATUS_OK;
        return Failed(CAUSE_WRITE_FAILED, errno);
    }
    if (linkat(folder, hidden.c_str(), folder, name.c_str(), 0) != 0)
        return Failed(CAUSE_WRITE_FAILED, errno);
    unlinkat(folder, hidden.c_str(), 0);
    return STATUS_OK;
}

// Why the finished file could not get its name (`failed`), in *problem.
Status PlacementProblem(const OpenFolder& folder, const std::string& name, Status failed,
                        std::string* problem) {
    if (failed.system_error == EEXIST)
        *problem = JoinPath(folder.path, name) + " appeared meanwhile; not replaced";
    else
        *problem = "cannot put the file in place: " + SystemErrorText(failed.system_error);
    return failed;
}

// A failed call `what` of the finishing, with its number, in *problem.
Status FinishingProblem(const char* what, int error, std::string* problem) {
    *problem = what + SystemErrorText(error);
    return Failed(CAUSE_WRITE_FAILED, error);
}

}  // namespace

namespace {

// The access and write times of a stamp for futimens. A zero FILETIME is no
// time at all: the one the system gave stays.
void StampTimes(const FileStamp& stamp, struct timespec times[2]) {
    times[0] = FromFiletime(stamp.last_access);
    times[1] = FromFiletime(stamp.last_write);
    if (stamp.last_access == 0) times[0].tv_nsec = UTIME_OMIT;
    if (stamp.last_write == 0) times[1].tv_nsec = UTIME_OMIT;
}

}  // namespace

Status FinishFileAs(const OpenFolder& folder, PendingFile* pending, const std::string& name,
                    const FileStamp& stamp, bool replace, std::string* why) {
    mode_t mode = NewFileMode();
    if (stamp.read_only) mode &= ~(mode_t)0222;
    // Linux keeps no settable creation time; access and write times only.
    struct timespec times[2];
    StampTimes(stamp, times);
    std::string problem;
    Status status = STATUS_OK;
    if (fchmod(pending->file, mode) != 0 || futimens(pending->file, times) != 0)
        status = FinishingProblem("cannot set its times or permissions: ", errno, &problem);

    // Only a rename replaces a file in one step: an unnamed file that is to
    // replace one gets a hidden name first.
    if (status.ok() && pending->hidden_name.empty() && replace) {
        Status linked = Failed(CAUSE_WRITE_FAILED, EEXIST);
        for (int attempt = 0; attempt < 100 && linked.system_error == EEXIST; attempt++) {
            std::string hidden = HiddenName();
            linked = LinkUnnamed(pending->file, folder.handle, hidden);
            if (linked.ok()) pending->hidden_name = hidden;
        }
        if (!linked.ok())
            status =
                FinishingProblem("cannot put the file in place: ", linked.system_error, &problem);
    }

    if (status.ok() && !pending->hidden_name.empty()) {
        // The data is complete: a failed close is a failed write.
        if (close(pending->file) != 0)
            status = FinishingProblem("writing failed: ", errno, &problem);
        pending->file = NO_FILE;
        Status placed =
            status.ok() ? Rename(folder.handle, pending->hidden_name, name, replace) : STATUS_OK;
        if (!placed.ok()) status = PlacementProblem(folder, name, placed, &problem);
    } else if (status.ok()) {
        Status placed = LinkUnnamed(pending->file, folder.handle, name);
        if (!placed.ok()) status = PlacementProblem(folder, name, placed, &problem);
    }
    if (pending->file != NO_FILE) {
        if (close(pending->file) != 0 && status.ok()) {
            status = FinishingProblem("writing failed: ", errno, &problem);
            unlinkat(folder.handle, name.c_str(), 0);
        }
        pending->file = NO_FILE;
    }
    if (!status.ok() && !pending->hidden_name.empty())
        unlinkat(folder.handle, pending->hidden_name.c_str(), 0);
    if (!status.ok()) *why = problem;
    return status;
}

void AbandonFile(const OpenFolder& folder, PendingFile* pending) {
    CloseFile(pending->file);
    pending->file = NO_FILE;
    if (!pending->hidden_name.empty()) unlinkat(folder.handle, pending->hidden_name.c_str(), 0);
}

void SetFolderTimes(const OpenFolder& folder, const FileStamp& stamp) {
    struct timespec times[2];
    StampTimes(stamp, times);
    futimens(folder.handle, times);
}

std::string SystemErrorText(uint32_t code) { return strerror((int)code); }
