// POSIX side of create's file services: UTF-8 paths separated by '/'.
#include "lib/create_files.h"

#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "payload/records.h"
#include "lib/files.h"
#include "lib/files_posix.h"

namespace {

InputInfo InfoFrom(const std::string& path, const struct stat& status) {
    InputInfo info = {};
    info.kind = S_ISDIR(status.st_mode)   ? INPUT_FOLDER
                : S_ISREG(status.st_mode) ? INPUT_FILE
                                          : INPUT_OTHER;
    info.size = (uint64_t)status.st_size;
    info.creation = CreationFiletime(path, status);
    info.last_access = ToFiletime(status.st_atim);
    info.last_write = ToFiletime(status.st_mtim);
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

}  // namespace

bool InspectInput(const std::string& path, InputInfo* info, std::string* why) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0) {
        *why = SystemError(errno);
        return false;
    }
    *info = InfoFrom(path, status);
    return true;
}

bool InspectOpenFile(FileHandle file, InputInfo* info) {
    struct stat status;
    if (fstat(file, &status) != 0) return false;
    *info = InputInfo();
    info->kind = S_ISREG(status.st_mode) ? INPUT_FILE : INPUT_OTHER;
    info->size = (uint64_t)status.st_size;
    info->last_write = ToFiletime(status.st_mtim);
    return true;
}

bool ReadFolder(const std::string& folder, std::vector<FolderChild>* children, std::string* failed,
                std::string* why) {
    children->clear();
    DIR* dir = opendir(folder.c_str());
    if (!dir) {
        *failed = folder;
        *why = "cannot read the folder: " + SystemError(errno);
        return false;
    }
    std::vector<std::string> names;
    while (struct dirent* child = readdir(dir)) {
        std::string name = child->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    for (const std::string& name : names) {
        std::string path = JoinPath(folder, name);
        struct stat status;
        if (lstat(path.c_str(), &status) != 0) {
            *failed = path;
            *why = SystemError(errno);
            return false;
        }
        children->push_back(FolderChild{name, InfoFrom(path, status)});
    }
    return true;
}

bool IdentifyFile(const std::string& path, FileIdentity* identity) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0) return false;
    identity->volume = (uint64_t)status.st_dev;
    identity->index = (uint64_t)status.st_ino;
    return true;
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

bool FinishOutput(FileHandle out, bool executable, std::string* why) {
    // Executable where readable, for the self-extracting kind.
    mode_t mode = NewFileMode();
    if (executable) mode |= (mode & 0444) >> 2;
    bool ok = fchmod(out, mode) == 0 && fsync(out) == 0;
    if (!ok) *why = SystemError(errno);
    if (close(out) != 0 && ok) {
        *why = SystemError(errno);
        ok = false;
    }
    return ok;
}
