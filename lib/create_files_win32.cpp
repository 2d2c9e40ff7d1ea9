// Win32 side of create's file services: paths and names are bytes of the
// ANSI code page, as the ANSI calls give and take them.
#include "lib/create_files.h"

#include "payload/records.h"
#include "lib/files.h"

namespace {

// The attributes an archive keeps. The rest describe how the system stores
// a file (compressed, sparse, offline, ...), which no extractor can recreate
// with SetFileAttributesA, and 0x2000 would read as a flag of the record.
const DWORD STORED_ATTRIBUTES = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY |
                                FILE_ATTRIBUTE_ARCHIVE;

uint64_t AsNumber(const FILETIME& time) {
    return ((uint64_t)time.dwHighDateTime << 32) | time.dwLowDateTime;
}

InputInfo InfoFrom(DWORD attributes, DWORD size_high, DWORD size_low, const FILETIME& creation,
                   const FILETIME& last_access, const FILETIME& last_write) {
    InputInfo info = {};
    info.kind = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? INPUT_OTHER
                : (attributes & FILE_ATTRIBUTE_DIRECTORY)   ? INPUT_FOLDER
                                                            : INPUT_FILE;
    info.size = info.kind == INPUT_FILE ? ((uint64_t)size_high << 32) | size_low : 0;
    info.creation = AsNumber(creation);
    info.last_access = AsNumber(last_access);
    info.last_write = AsNumber(last_write);
    info.attributes = (uint16_t)(attributes & STORED_ATTRIBUTES);
    return info;
}

bool InfoOfHandle(HANDLE file, InputInfo* info) {
    BY_HANDLE_FILE_INFORMATION by_handle;
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &by_handle)) {
        return false;
    }
    // Opened through a link, the handle is the target's: no link is left.
    *info = InfoFrom(by_handle.dwFileAttributes & ~(DWORD)FILE_ATTRIBUTE_REPARSE_POINT,
                     by_handle.nFileSizeHigh, by_handle.nFileSizeLow, by_handle.ftCreationTime,
                     by_handle.ftLastAccessTime, by_handle.ftLastWriteTime);
    return true;
}

// Opens a file or folder only to ask about it.
HANDLE OpenToInspect(const std::string& path) {
    return CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

bool InspectInput(const std::string& path, InputInfo* info, std::string* why) {
    HANDLE file = OpenToInspect(path);
    if (file == INVALID_HANDLE_VALUE) {
        *why = LastSystemError();
        return false;
    }
    // A device such as CON is neither file nor folder.
    if (!InfoOfHandle(file, info)) *info = InputInfo{INPUT_OTHER, 0, 0, 0, 0, 0};
    CloseHandle(file);
    return true;
}

bool InspectOpenFile(FileHandle file, InputInfo* info) { return InfoOfHandle(file, info); }

bool ReadFolder(const std::string& folder, std::vector<FolderChild>* children, std::string* failed,
                std::string* why) {
    children->clear();
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(JoinPath(folder, "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        // A drive's root may hold nothing at all, not even "." and "..".
        if (GetLastError() == ERROR_FILE_NOT_FOUND) return true;
        *failed = folder;
        *why = "cannot read the folder: " + LastSystemError();
        return false;
    }
    do {
        std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        children->push_back(FolderChild{
            name, InfoFrom(found.dwFileAttributes, found.nFileSizeHigh, found.nFileSizeLow,
                           found.ftCreationTime, found.ftLastAccessTime, found.ftLastWriteTime)});
    } while (FindNextFileA(search, &found));
    DWORD error = GetLastError();
    FindClose(search);
    if (error != ERROR_NO_MORE_FILES) {
        SetLastError(error);
        *failed = folder;
        *why = "cannot read the folder: " + LastSystemError();
        return false;
    }
    return true;
}

bool IdentifyFile(const std::string& path, FileIdentity* identity) {
    HANDLE file = OpenToInspect(path);
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION by_handle;
    bool ok = GetFileInformationByHandle(file, &by_handle) != FALSE;
    CloseHandle(file);
    if (!ok) return false;
    identity->volume = by_handle.dwVolumeSerialNumber;
    identity->index = ((uint64_t)by_handle.nFileIndexHigh << 32) | by_handle.nFileIndexLow;
    return true;
}

std::string InputName(const std::string& path) {
    std::string trimmed = WithoutTrailingSeparators(path);
    std::string last = trimmed.substr(LastComponentStart(trimmed));
    if (last.empty() || last == "." || last == "..") {
        char full[MAX_PATH * 2];
        DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
        if (length > 0 && length < sizeof full) {
            std::string resolved = WithoutTrailingSeparators(std::string(full, length));
            last = resolved.substr(LastComponentStart(resolved));
        }
    }
    return last;
}

bool FinishOutput(FileHandle out, bool executable, std::string* why) {
    (void)executable;  // any file may be run here; the name decides
    bool ok = FlushFileBuffers(out) != FALSE;
    if (!ok) *why = LastSystemError();
    if (!CloseHandle(out) && ok) {
        *why = LastSystemError();
        ok = false;
    }
    return ok;
}
