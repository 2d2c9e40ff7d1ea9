// Win32 side of the tool's file services. Paths are byte strings of the ANSI
// code page (932 on the systems the archives are made for) handed straight to
// the ANSI calls; '\' and '/' separate, and only where they are characters of
// their own, never the trail byte of a double-byte character.
#include "tools/files.h"

#include <stdio.h>

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

// Creates a file of a new name made of `prefix`, a number and `suffix`.
FileHandle CreateNewFile(const std::string& prefix, const std::string& suffix, DWORD flags,
                         std::string* path) {
    static unsigned long counter = 0;
    for (int attempt = 0; attempt < 1000; attempt++) {
        char number[48];
        snprintf(number, sizeof number, "%lx-%lx-%lx", (unsigned long)GetCurrentProcessId(),
                 (unsigned long)GetTickCount(), ++counter);
        std::string name = prefix + number + suffix;
        HANDLE file = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  CREATE_NEW, flags, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            if (path) *path = name;
            return file;
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    return NO_FILE;
}

}  // namespace

std::string TemporaryFolder() {
    char folder[MAX_PATH + 1];
    DWORD length = GetTempPathA(sizeof folder, folder);
    if (length == 0 || length > MAX_PATH) return ".";
    return WithoutTrailingSeparators(std::string(folder, length));
}

FileHandle CreateAnonymousFile(const std::string& folder) {
    // Deleted by the system when the handle is closed, like a work file.
    return CreateNewFile(JoinPath(folder.empty() ? TemporaryFolder() : folder, "quorvane-work-"),
                         ".tmp", FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}

FileHandle CreateFileBeside(const std::string& neighbour, std::string* path) {
    size_t start = LastComponentStart(neighbour);
    std::string prefix = neighbour.substr(0, start) + "." + neighbour.substr(start) + ".part-";
    return CreateNewFile(prefix, "", FILE_ATTRIBUTE_NORMAL, path);
}

bool IsRegularFile(FileHandle file) {
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
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

bool MakeDestination(const std::string& path, std::string* why) {
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
            *why = prefix + " exists and is not a folder";
            return false;
        }
        if (!CreateDirectoryA(prefix.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            *why = "cannot create folder " + prefix + ": " + LastSystemError();
            return false;
        }
    }
    return true;
}

bool MakeFoldersBelow(const std::string& base, const std::string& relative, std::string* why) {
    std::vector<size_t> ends = SeparatorPositions(relative);
    ends.push_back(relative.size());
    for (size_t end : ends) {
        if (end == 0) continue;
        std::string path = JoinPath(base, relative.substr(0, end));
        DWORD attributes = GetFileAttributesA(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                *why = "refusing to follow the link " + path;
                return false;
            }
            if (attributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            *why = path + " exists and is not a folder";
            return false;
        }
        if (!CreateDirectoryA(path.c_str(), nullptr)) {
            *why = "cannot create folder " + path + ": " + LastSystemError();
            return false;
        }
    }
    return true;
}

PathKind KindOf(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return PATH_MISSING;
    // A link to a folder is not a folder of the destination.
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return PATH_FOLDER;
    }
    return PATH_OTHER;
}

bool FinishFile(FileHandle file, const std::string& path, const FileStamp& stamp,
                std::string* why) {
    bool ok = true;
    if (!ApplyTimes(file, stamp)) {
        *why = "cannot set its times: " + LastSystemError();
        ok = false;
    }
    if (!CloseHandle(file) && ok) {
        *why = "writing failed: " + LastSystemError();
        ok = false;
    }
    // The attribute goes on by name, once the handle is closed.
    if (ok && stamp.read_only) {
        DWORD attributes = GetFileAttributesA(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES ||
            !SetFileAttributesA(path.c_str(), attributes | FILE_ATTRIBUTE_READONLY)) {
            *why = "cannot make it read-only: " + LastSystemError();
            ok = false;
        }
    }
    return ok;
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

void SetFolderTimes(const std::string& path, const FileStamp& stamp) {
    // A folder opens only with backup semantics; a link is not followed.
    HANDLE folder = CreateFileA(
        path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) return;
    ApplyTimes(folder, stamp);
    CloseHandle(folder);
}

std::string LastSystemError() { return ErrorText(GetLastError()); }

std::string LocalTimeText(uint64_t filetime) {
    FILETIME universal = AsFiletime(filetime), local;
    SYSTEMTIME parts;
    if (!FileTimeToLocalFileTime(&universal, &local) || !FileTimeToSystemTime(&local, &parts)) {
        return std::string();
    }
    char text[32];
    snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", parts.wYear, parts.wMonth,
             parts.wDay, parts.wHour, parts.wMinute, parts.wSecond);
    return text;
}

namespace {

bool IsConsole(DWORD which) {
    DWORD mode;
    HANDLE handle = GetStdHandle(which);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

}  // namespace

bool InputIsInteractive() { return IsConsole(STD_INPUT_HANDLE); }
bool ErrorIsInteractive() { return IsConsole(STD_ERROR_HANDLE); }

double MonotonicSeconds() {
    LARGE_INTEGER frequency, now;
    if (!QueryPerformanceFrequency(&frequency) || !QueryPerformanceCounter(&now)) {
        return (double)GetTickCount() / 1000.0;
    }
    return (double)now.QuadPart / (double)frequency.QuadPart;
}
