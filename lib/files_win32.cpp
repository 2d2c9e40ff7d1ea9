// Win32 side of the tool's file services. Paths are byte strings of the ANSI
// code page (932 on the systems the archives are made for) handed straight to
// the ANSI calls; '\' and '/' separate, and only where they are characters of
// their own, never the trail byte of a double-byte character.
#include "lib/files.h"

#include <io.h>
#include <stdio.h>
#include <string.h>

#include <random>
#include <vector>

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Positions of the separators of `path`, stepping over double-byte characters
// as the system's code page has them.
std::vector<size_t> SeparatorPositions(const std::string& path) {
    std::vector<size_t> positions;
    for (size_t i = 0; i < path.size(); i++) {
        if (IsDBCSLeadByte((BYTE)path[i]) && i + 1 < path.size()) {
            i++;
        } else if (IsSeparator(path[i])) {
            positions.push_back(i);
        }
    }
    return positions;
}

bool HasDrive(const std::string& path) { return path.size() >= 2 && path[1] == ':'; }

bool EndsWithSeparator(const std::string& path) {
    std::vector<size_t> separators = SeparatorPositions(path);
    return !separators.empty() && separators.back() == path.size() - 1;
}

// "\", "X:\" and "X:": paths that lose their meaning when cut any shorter.
bool IsRoot(const std::string& path) {
    if (path.size() == 1) return IsSeparator(path[0]);
    return HasDrive(path) && (path.size() == 2 || (path.size() == 3 && IsSeparator(path[2])));
}

std::string ErrorText(DWORD error) {
    char* text = nullptr;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, (LPSTR)&text, 0, nullptr);
    std::string message;
    if (length > 0 && text) message.assign(text, length);
    if (text) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    char code[32];
    snprintf(code, sizeof code, "error %lu", (unsigned long)error);
    return message.empty() ? std::string(code) : message + " (" + code + ")";
}

FILETIME AsFiletime(uint64_t value) {
    FILETIME time;
    time.dwLowDateTime = (DWORD)value;
    time.dwHighDateTime = (DWORD)(value >> 32);
    return time;
}

// A FILETIME for SetFileTime, or none for a zero time, which stays as it is.
const FILETIME* TimeOrNone(uint64_t value, FILETIME* time) {
    if (value == 0) return nullptr;
    *time = AsFiletime(value);
    return time;
}

bool ApplyTimes(HANDLE file, const FileStamp& stamp) {
    FILETIME creation, access, write;
    return SetFileTime(file, TimeOrNone(stamp.creation, &creation),
                       TimeOrNone(stamp.last_access, &access),
                       TimeOrNone(stamp.last_write, &write)) != FALSE;
}

// A short hidden name no file has: ".qv-" and eight hexadecimal digits.
std::string HiddenName() {
    std::random_device random;
    char name[16];
    snprintf(name, sizeof name, ".qv-%08lx", (unsigned long)random() & 0xFFFFFFFFul);
    return name;
}

// Creates a new file of a hidden name in `folder`. Deletion stays shared, so
// that an interrupt can remove the file while it is open.
HANDLE CreateHidden(const std::string& folder, std::string* path) {
    for (int attempt = 0; attempt < 100; attempt++) {
        *path = JoinPath(folder, HiddenName());
        HANDLE file = CreateFileA(path->c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE,
                                  nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
        if (file != INVALID_HANDLE_VALUE) return file;
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    return NO_FILE;
}

// The path the system resolves an open handle to, where it can tell
// (GetFinalPathNameByHandleA, looked up at run time); empty otherwise.
std::string FinalPath(HANDLE handle) {
    typedef DWORD(WINAPI * FinalPathFunction)(HANDLE, LPSTR, DWORD, DWORD);
    static FinalPathFunction final_path = (FinalPathFunction)(void*)GetProcAddress(
        GetModuleHandleA("kernel32.dll"), "GetFinalPathNameByHandleA");
    if (!final_path) return std::string();
    char path[1024];
    DWORD length = final_path(handle, path, sizeof path, 0);
    if (length == 0 || length >= sizeof path) return std::string();
    return std::string(path, length);
}

// True unless both final paths are known and `opened` is not `name` inside
// `folder`. Names compare as the file system does, without regard to case.
bool SamePath(const std::string& folder, const std::string& name, const std::string& opened) {
    if (folder.empty() || opened.empty()) return true;
    return lstrcmpiA(JoinPath(folder, name).c_str(), opened.c_str()) == 0;
}

// Opens a folder so that it cannot be renamed or removed while it is held,
// without following a link at its end.
HANDLE OpenFolderHandle(const std::string& path) {
    return CreateFileA(path.c_str(), FILE_LIST_DIRECTORY | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// The handle's attributes, or INVALID_FILE_ATTRIBUTES.
DWORD AttributesOf(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return INVALID_FILE_ATTRIBUTES;
    return info.dwFileAttributes;
}

// `file` when it is a file on a disk; a pipe, a device, a console or a
// folder is no archive: closed, NO_FILE, and *why names it as `what`.
HANDLE OnlyRegularFile(HANDLE file, const std::string& what, std::string* why) {
    DWORD attributes = AttributesOf(file);
    if (GetFileType(file) == FILE_TYPE_DISK && attributes != INVALID_FILE_ATTRIBUTES &&
        !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return file;
    *why = what + " is not a regular file";
    CloseHandle(file);
    return NO_FILE;
}

}  // namespace

FileHandle OpenArchiveFile(const std::string& path, std::string* why) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *why = "cannot open " + path + ": " + LastSystemError();
        return NO_FILE;
    }
    return OnlyRegularFile(file, path, why);
}

FileHandle OpenArchiveDescriptor(int descriptor, std::string* why) {
    HANDLE original = HandleOfDescriptor(descriptor), file = NO_FILE;
    if (original == NO_FILE || !DuplicateHandle(GetCurrentProcess(), original, GetCurrentProcess(),
                                                &file, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        *why = "cannot use the descriptor " + std::to_string(descriptor);
        return NO_FILE;
    }
    return OnlyRegularFile(file, "the descriptor " + std::to_string(descriptor), why);
}

FileHandle HandleOfDescriptor(int descriptor) {
    intptr_t handle = _get_osfhandle(descriptor);
    return handle == -1 ? NO_FILE : (HANDLE)handle;
}

FileHandle CreateFileBeside(const std::string& neighbour, std::string* path) {
    return CreateHidden(ParentOf(neighbour), path);
}

size_t LastComponentStart(const std::string& path) {
    std::vector<size_t> separators = SeparatorPositions(path);
    size_t start = separators.empty() ? 0 : separators.back() + 1;
    // "X:name" names a file in the drive's current folder.
    if (start == 0 && HasDrive(path)) start = 2;
    return start;
}

std::string ParentOf(const std::string& path) {
    size_t start = LastComponentStart(path);
    if (start == 0) return ".";
    std::string parent = path.substr(0, start);
    return IsRoot(parent) ? parent : WithoutTrailingSeparators(parent);
}

std::string WithoutTrailingSeparators(const std::string& original) {
    std::string path = original;
    while (!IsRoot(path) && EndsWithSeparator(path)) path.pop_back();
    return path;
}

std::string JoinPath(const std::string& base, const std::string& relative) {
    if (base.empty()) return relative;
    if (EndsWithSeparator(base) || (base.size() == 2 && HasDrive(base))) return base + relative;
    return base + "\\" + relative;
}

bool PutInPlace(const std::string& part, const std::string& target, std::string* why) {
    // A read-only file is not replaced by a rename; the user asked for it to
    // be replaced, so the attribute goes first, and comes back on failure.
    DWORD attributes = GetFileAttributesA(target.c_str());
    bool cleared = attributes != INVALID_FILE_ATTRIBUTES &&
                   (attributes & FILE_ATTRIBUTE_READONLY) &&
                   SetFileAttributesA(target.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (MoveFileExA(part.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    DWORD error = GetLastError();
    if (cleared) SetFileAttributesA(target.c_str(), attributes);
    *why = "cannot put the file in place: " + ErrorText(error);
    return false;
}

void RemoveFile(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        SetFileAttributesA(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    DeleteFileA(path.c_str());
}

bool OpenDestination(const std::string& path, OpenFolder* folder, std::string* why) {
    std::vector<size_t> ends = SeparatorPositions(path);
    ends.push_back(path.size());
    // \\server\share names a share, not folders to be made.
    size_t skipped = (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) ? 4 : 0;
    for (size_t i = skipped; i < ends.size(); i++) {
        std::string prefix = path.substr(0, ends[i]);
        if (prefix.empty() || IsRoot(prefix) || EndsWithSeparator(prefix)) continue;
        DWORD attributes = GetFileAttributesA(prefix.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if (attributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            *why = "the destination cannot be made: " + prefix + " exists and is not a folder";
            return false;
        }
        if (!CreateDirectoryA(prefix.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            *why = "the destination cannot be made: cannot create folder " + prefix + ": " +
                   LastSystemError();
            return false;
        }
    }
    // The destination itself may be a link: the user chose it.
    folder->path = path;
    folder->handle =
        CreateFileA(path.c_str(), FILE_LIST_DIRECTORY | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder->handle == INVALID_HANDLE_VALUE) {
        *why = "the destination " + path + " cannot be opened: " + LastSystemError();
        return false;
    }
    return true;
}

bool EnterFolder(const OpenFolder& parent, const std::string& name, OpenFolder* folder,
                 std::string* why) {
    folder->path = JoinPath(parent.path, name);
    if (!CreateDirectoryA(folder->path.c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
        *why = "cannot create folder " + folder->path + ": " + LastSystemError();
        return false;
    }
    folder->handle = OpenFolderHandle(folder->path);
    if (folder->handle == INVALID_HANDLE_VALUE) {
        *why = "cannot open folder " + folder->path + ": " + LastSystemError();
        return false;
    }
    DWORD attributes = AttributesOf(folder->handle);
    std::string problem;
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        problem = "refusing to follow the link " + folder->path;
    } else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        problem = folder->path + " exists and is not a folder";
    } else {
        // Where the system can tell, the folder opened must be the one inside its parent.
        std::string inside = FinalPath(parent.handle), opened = FinalPath(folder->handle);
        if (!SamePath(inside, name, opened))
            problem = "refusing " + folder->path + ": it leads to " + opened;
    }
    if (problem.empty()) return true;
    CloseFolder(folder);
    *why = problem;
    return false;
}

void CloseFolder(OpenFolder* folder) {
    CloseFile(folder->handle);
    folder->handle = NO_FILE;
}

PathKind KindIn(const OpenFolder& folder, const std::string& name) {
    DWORD attributes = GetFileAttributesA(JoinPath(folder.path, name).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return PATH_MISSING;
    // A link to a folder is not a folder of the destination.
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return PATH_FOLDER;
    }
    return PATH_OTHER;
}

bool StartFile(const OpenFolder& folder, PendingFile* pending, std::string* why) {
    std::string path;
    pending->file = CreateHidden(folder.path, &path);
    if (pending->file == NO_FILE) {
        *why = "cannot create a file in " + folder.path + ": " + LastSystemError();
        return false;
    }
    pending->hidden_name = path.substr(LastComponentStart(path));
    std::string inside = FinalPath(folder.handle), opened = FinalPath(pending->file);
    if (!SamePath(inside, pending->hidden_name, opened)) {
        *why = "refusing to write into " + folder.path + ": it leads to " + opened;
        AbandonFile(folder, pending);
        return false;
    }
    return true;
}

bool FinishFileAs(const OpenFolder& folder, PendingFile* pending, const std::string& name,
                  const FileStamp& stamp, bool replace, std::string* why) {
    std::string hidden = JoinPath(folder.path, pending->hidden_name);
    std::string target = JoinPath(folder.path, name);
    std::string problem;
    if (!ApplyTimes(pending->file, stamp)) problem = "cannot set its times: " + LastSystemError();
    if (!CloseHandle(pending->file) && problem.empty())
        problem = "writing failed: " + LastSystemError();
    pending->file = NO_FILE;
    // The attributes go on by name, once the handle is closed.
    DWORD attributes = stamp.read_only ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
    if (problem.empty() && !SetFileAttributesA(hidden.c_str(), attributes))
        problem = "cannot set its attributes: " + LastSystemError();
    if (problem.empty()) {
        // A read-only file is not replaced by a rename; the user asked for it
        // to be replaced, so the attribute goes first, and comes back on failure.
        DWORD existing = replace ? GetFileAttributesA(target.c_str()) : INVALID_FILE_ATTRIBUTES;
        bool cleared = existing != INVALID_FILE_ATTRIBUTES &&
                       (existing & FILE_ATTRIBUTE_READONLY) &&
                       SetFileAttributesA(target.c_str(), existing & ~FILE_ATTRIBUTE_READONLY);
        if (!MoveFileExA(hidden.c_str(), target.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0)) {
            DWORD error = GetLastError();
            if (cleared) SetFileAttributesA(target.c_str(), existing);
            problem = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS
                          ? target + " appeared meanwhile; not replaced"
                          : "cannot put the file in place: " + ErrorText(error);
        }
    }
    if (!problem.empty()) {
        SetFileAttributesA(hidden.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(hidden.c_str());
        *why = problem;
    }
    return problem.empty();
}

void AbandonFile(const OpenFolder& folder, PendingFile* pending) {
    CloseFile(pending->file);
    pending->file = NO_FILE;
    if (!pending->hidden_name.empty())
        DeleteFileA(JoinPath(folder.path, pending->hidden_name).c_str());
}

void SetFolderTimes(const OpenFolder& folder, const FileStamp& stamp) {
    ApplyTimes(folder.handle, stamp);
}

std::string LastSystemError() { return ErrorText(GetLastError()); }
