// POSIX side of create's file services: UTF-8 paths separated by '/'.
#include "lib/create_files.h"
#include "lib/default_stub.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "payload/records.h"
#include "lib/files.h"
#include "lib/files_posix.h"

namespace {

// `name` in the folder `folder` (a descriptor), or the open file `folder`
// itself when `name` is empty.
InputInfo InfoFrom(int folder, const char* name, const struct stat& status) {
    InputInfo info = {};
    info.kind = S_ISDIR(status.st_mode)   ? INPUT_FOLDER
                : S_ISREG(status.st_mode) ? INPUT_FILE
                                          : INPUT_OTHER;
    info.size = (uint64_t)status.st_size;
    info.creation = CreationFiletime(folder, name, status);
    info.last_access = ToFiletime(status.st_atim);
    info.last_write = ToFiletime(status.st_mtim);
    info.identity = FileIdentity{(uint64_t)status.st_dev, (uint64_t)status.st_ino};
    if (info.kind == INPUT_FOLDER) {
        info.attributes = ATTRIBUTE_DIRECTORY;
    } else {
        // The owner's write permission is the read-only state; the other
        // permission bits follow the umask and are not kept.
        info.attributes = ATTRIBUTE_ARCHIVE;
        if ((status.st_mode & S_IWUSR) == 0) info.attributes |= ATTRIBUTE_READONLY;
    }
    return info;
}

// Opening never waits: a pipe or a device swapped in would otherwise block
// the open for ever. A regular file read afterwards behaves the same either way.
const int INPUT_OPEN_FLAGS = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

std::string KindName(InputKind kind) { return kind == INPUT_FOLDER ? "folder" : "file"; }

}  // namespace

Status OpenInput(const std::string& path, FileHandle* handle, InputInfo* info, std::string* why) {
    int file = open(path.c_str(), INPUT_OPEN_FLAGS);
    struct stat status;
    if (file < 0 || fstat(file, &status) != 0) {
        int error = errno;
        CloseFile(file);
        *why = path + ": " + SystemErrorText(error);
        return Failed(CAUSE_OPEN_FAILED, (uint32_t)error);
    }
    *info = InfoFrom(file, "", status);
    if (info->kind == INPUT_OTHER) {
        close(file);
        *why = path + ": not a file or folder";
        return Failed(CAUSE_OPEN_FAILED);
    }
    *handle = file;
    return STATUS_OK;
}

Status InspectOpenFile(FileHandle file, InputInfo* info) {
    struct stat status;
    if (fstat(file, &status) != 0) return Failed(CAUSE_READ_FAILED, (uint32_t)errno);
    *info = InputInfo();
    info->kind = S_ISREG(status.st_mode) ? INPUT_FILE : INPUT_OTHER;
    info->size = (uint64_t)status.st_size;
    info->last_write = ToFiletime(status.st_mtim);
    info->identity = FileIdentity{(uint64_t)status.st_dev, (uint64_t)status.st_ino};
    return STATUS_OK;
}

Status ReadFolder(const OpenFolder& folder, std::vector<FolderChild>* children, std::string* why) {
    children->clear();
    // A descriptor of its own: the listing moves its position.
    int listing = openat(folder.handle, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listing >= 0 ? fdopendir(listing) : nullptr;
    if (!dir) {
        int error = errno;
        CloseFile(listing);
        *why = folder.path + ": cannot read the folder: " + SystemErrorText(error);
        return Failed(CAUSE_READ_FAILED, (uint32_t)error);
    }
    std::vector<std::string> names;
    while (struct dirent* child = readdir(dir)) {
        std::string name = child->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    for (const std::string& name : names) {
        struct stat status;
        if (fstatat(folder.handle, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            int error = errno;
            *why = JoinPath(folder.path, name) + ": " + SystemErrorText(error);
            return Failed(CAUSE_READ_FAILED, (uint32_t)error);
        }
        children->push_back(FolderChild{name, InfoFrom(folder.handle, name.c_str(), status)});
    }
    return STATUS_OK;
}

Status OpenListed(const OpenFolder& parent, const std::string& name, const InputInfo& listed,
                  FileHandle* handle, std::string* why) {
    std::string path = JoinPath(parent.path, name);
    int flags = INPUT_OPEN_FLAGS | O_NOFOLLOW | (listed.kind == INPUT_FOLDER ? O_DIRECTORY : 0);
    int file = openat(parent.handle, name.c_str(), flags);
    struct stat status;
    if (file < 0 || fstat(file, &status) != 0) {
        int error = errno;
        CloseFile(file);
        if (error == ELOOP) {
            *why = path + ": is now a symbolic link, which is not followed; not stored";
            return Failed(CAUSE_CHANGED, (uint32_t)error);
        }
        if (error == ENOTDIR) {
            *why = path + ": is no longer a folder; not stored";
            return Failed(CAUSE_CHANGED, (uint32_t)error);
        }
        *why = path + ": cannot read: " + SystemErrorText(error);
        return Failed(CAUSE_READ_FAILED, (uint32_t)error);
    }
    InputInfo now = InfoFrom(file, "", status);
    if (now.kind != listed.kind || !(now.identity == listed.identity)) {
        close(file);
        *why = path + ": is no longer the " + KindName(listed.kind) +
               " that was listed (replaced meanwhile); not stored";
        return Failed(CAUSE_CHANGED);
    }
    *handle = file;
    return STATUS_OK;
}

Status InspectOutput(const std::string& path, bool* exists, FileIdentity* identity,
                     std::string* why) {
    struct stat status;
    *exists = false;
    if (lstat(path.c_str(), &status) != 0) {
        int error = errno;
        if (error == ENOENT) return STATUS_OK;
        *why = path + ": " + SystemErrorText(error);
        return Failed(CAUSE_OPEN_FAILED, (uint32_t)error);
    }
    if (S_ISREG(status.st_mode)) {
        *exists = true;
        *identity = FileIdentity{(uint64_t)status.st_dev, (uint64_t)status.st_ino};
        return STATUS_OK;
    }
    if (S_ISLNK(status.st_mode))
        *why = path + " is a symbolic link; give the path of the file it stands for";
    else if (S_ISDIR(status.st_mode))
        *why = path + " is a folder; the output must be a file";
    else
        *why = path + " is not a regular file (a device, a pipe or a socket); it is left alone";
    return Failed(CAUSE_OPEN_FAILED);
}

Status IdentifyParent(const std::string& path, FileIdentity* identity) {
    struct stat status;
    if (stat(ParentOf(path).c_str(), &status) != 0)
        return Failed(CAUSE_OPEN_FAILED, (uint32_t)errno);
    *identity = FileIdentity{(uint64_t)status.st_dev, (uint64_t)status.st_ino};
    return STATUS_OK;
}

std::string InputName(const std::string& path) {
    std::string trimmed = WithoutTrailingSeparators(path);
    std::string last = trimmed.substr(LastComponentStart(trimmed));
    if (last.empty() || last == "." || last == ".." || last == "/") {
        char* resolved = realpath(path.c_str(), nullptr);
        if (resolved) {
            std::string full = resolved;
            free(resolved);
            last = full.substr(LastComponentStart(full));
        }
    }
    return last;
}

Status FinishOutput(FileHandle out, bool executable, const std::string& output, std::string* why) {
    // Executable where readable, for the self-extracting kind.
    mode_t mode = NewFileMode();
    if (executable) mode |= (mode & 0444) >> 2;
    int error = fchmod(out, mode) == 0 && fsync(out) == 0 ? 0 : errno;
    if (close(out) != 0 && error == 0) error = errno;
    if (error == 0) return STATUS_OK;
    *why = output + ": writing failed: " + SystemErrorText(error);
    return Failed(CAUSE_WRITE_FAILED, (uint32_t)error);
}

Status FindInstalledStub(std::string* path) {
    // The shared library's file, or the program's when the library is linked in.
    std::vector<std::string> places;
    Dl_info info;
    if (dladdr((void*)&FindInstalledStub, &info) != 0 && info.dli_fname &&
        strchr(info.dli_fname, '/'))
        places.push_back(info.dli_fname);
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) places.push_back(std::string(self, (size_t)length));
    for (const std::string& place : places) {
        for (const char* relative : {INSTALLED_STUB_FROM_LIBDIR, INSTALLED_STUB_FROM_BINDIR}) {
            std::string stub = JoinPath(ParentOf(place), relative);
            if (access(stub.c_str(), R_OK) == 0) {
                *path = stub;
                return STATUS_OK;
            }
        }
    }
    return Failed(CAUSE_NOT_FOUND);
}
