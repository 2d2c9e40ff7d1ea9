// Win32 side of create's file services: paths and names are bytes of the
// ANSI code page, as the ANSI calls give and take them.
//
// The ANSI calls open by path only. What keeps such a path from being
// redirected: every folder on the way is held open without shared deletion,
// so that it cannot be renamed, removed or replaced by a link meanwhile; the
// last component is opened without following a link; and the handle must be
// the very file or folder the listing saw.
#include "lib/create_files.h"
#include "lib/default_stub.h"

#include "payload/records.h"
#include "lib/files.h"

namespace {

// The attributes an archive keeps. The rest describe how the system stores
// a file (compressed, sparse, offline, ...), which no extractor can recreate
// with SetFileAttributesA, and 0x2000 would read as a flag of the record.
const DWORD STORED_ATTRIBUTES = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY |
                                FILE_ATTRIBUTE_ARCHIVE;

// Shared for reading and writing, never for deletion: while the handle is
// open, the name keeps standing for this file or folder.
const DWORD HELD_SHARING = FILE_SHARE_READ | FILE_SHARE_WRITE;

uint64_t AsNumber(const FILETIME& time) {
    return ((uint64_t)time.dwHighDateTime << 32) | time.dwLowDateTime;
}

// What a handle is. With `followed`, it was opened through any link, and is
// the link's target; otherwise a link is a link (INPUT_OTHER). A pipe, a
// device or a console is INPUT_OTHER as well.
bool InfoOfHandle(HANDLE file, bool followed, InputInfo* info) {
    BY_HANDLE_FILE_INFORMATION by_handle;
    if (!GetFileInformationByHandle(file, &by_handle)) return false;
    DWORD attributes = by_handle.dwFileAttributes;
    if (followed) attributes &= ~(DWORD)FILE_ATTRIBUTE_REPARSE_POINT;
    *info = InputInfo();
    info->kind = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) || GetFileType(file) != FILE_TYPE_DISK
                     ? INPUT_OTHER
                 : (attributes & FILE_ATTRIBUTE_DIRECTORY) ? INPUT_FOLDER
                                                           : INPUT_FILE;
    info->size = info->kind == INPUT_FILE
                     ? ((uint64_t)by_handle.nFileSizeHigh << 32) | by_handle.nFileSizeLow
                     : 0;
    info->creation = AsNumber(by_handle.ftCreationTime);
    info->last_access = AsNumber(by_handle.ftLastAccessTime);
    info->last_write = AsNumber(by_handle.ftLastWriteTime);
    info->attributes = (uint16_t)(attributes & STORED_ATTRIBUTES);
    info->identity.volume = by_handle.dwVolumeSerialNumber;
    info->identity.index = ((uint64_t)by_handle.nFileIndexHigh << 32) | by_handle.nFileIndexLow;
    return true;
}

// Opens a file or folder of either kind: folders need backup semantics.
HANDLE OpenPath(const std::string& path, DWORD access, DWORD sharing, bool follow) {
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    return CreateFileA(path.c_str(), access, sharing, nullptr, OPEN_EXISTING, flags, nullptr);
}

std::string KindName(InputKind kind) { return kind == INPUT_FOLDER ? "folder" : "file"; }

bool IsMissing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace

Status OpenInput(const std::string& path, FileHandle* handle, InputInfo* info, std::string* why) {
    HANDLE file = OpenPath(path, GENERIC_READ, HELD_SHARING, true);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        *why = path + ": " + SystemErrorText(error);
        return Failed(CAUSE_OPEN_FAILED, error);
    }
    if (!InfoOfHandle(file, true, info) || info->kind == INPUT_OTHER) {
        CloseHandle(file);
        *why = path + ": not a file or folder";
        return Failed(CAUSE_OPEN_FAILED);
    }
    *handle = file;
    return STATUS_OK;
}

Status InspectOpenFile(FileHandle file, InputInfo* info) {
    if (!InfoOfHandle(file, true, info)) return Failed(CAUSE_READ_FAILED, GetLastError());
    return STATUS_OK;
}

Status ReadFolder(const OpenFolder& folder, std::vector<FolderChild>* children, std::string* why) {
    children->clear();
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(JoinPath(folder.path, "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        // A drive's root may hold nothing at all, not even "." and "..".
        if (error == ERROR_FILE_NOT_FOUND) return STATUS_OK;
        *why = folder.path + ": cannot read the folder: " + SystemErrorText(error);
        return Failed(CAUSE_READ_FAILED, error);
    }
    std::vector<FolderChild> found_children;
    do {
        std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        InputInfo info = {};
        info.kind = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? INPUT_OTHER
                    : (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)   ? INPUT_FOLDER
                                                                            : INPUT_FILE;
        found_children.push_back(FolderChild{name, info});
    } while (FindNextFileA(search, &found));
    DWORD error = GetLastError();
    FindClose(search);
    if (error != ERROR_NO_MORE_FILES) {
        *why = folder.path + ": cannot read the folder: " + SystemErrorText(error);
        return Failed(CAUSE_READ_FAILED, error);
    }
    // Each child as its own handle tells, a link as a link. One that cannot
    // be opened keeps what the listing said and no identity: its name is
    // judged first, and reading it fails or finds another file.
    for (FolderChild& child : found_children) {
        HANDLE handle = OpenPath(JoinPath(folder.path, child.name), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, false);
        if (handle == INVALID_HANDLE_VALUE) {
            children->push_back(child);
            continue;
        }
        InputInfo info;
        if (InfoOfHandle(handle, false, &info)) child.info = info;
        CloseHandle(handle);
        children->push_back(child);
    }
    return STATUS_OK;
}

Status OpenListed(const OpenFolder& parent, const std::string& name, const InputInfo& listed,
                  FileHandle* handle, std::string* why) {
    std::string path = JoinPath(parent.path, name);
    DWORD access = listed.kind == INPUT_FOLDER
                       ? FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE
                       : GENERIC_READ;
    HANDLE file = OpenPath(path, access, HELD_SHARING, false);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        *why = path + ": cannot read: " + SystemErrorText(error);
        return Failed(CAUSE_READ_FAILED, error);
    }
    InputInfo now;
    if (!InfoOfHandle(file, false, &now) || now.kind != listed.kind ||
        !(now.identity == listed.identity)) {
        CloseHandle(file);
        *why = path + ": is no longer the " + KindName(listed.kind) +
               " that was listed (replaced meanwhile, or a link now); not stored";
        return Failed(CAUSE_CHANGED);
    }
    *handle = file;
    return STATUS_OK;
}

Status InspectOutput(const std::string& path, bool* exists, FileIdentity* identity,
                     std::string* why) {
    *exists = false;
    HANDLE file = OpenPath(path, FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, false);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (IsMissing(error)) return STATUS_OK;
        *why = path + ": " + SystemErrorText(error);
        return Failed(CAUSE_OPEN_FAILED, error);
    }
    InputInfo info;
    bool known = InfoOfHandle(file, false, &info);
    bool link = known && info.kind == INPUT_OTHER && GetFileType(file) == FILE_TYPE_DISK;
    CloseHandle(file);
    if (known && info.kind == INPUT_FILE) {
        *exists = true;
        *identity = info.identity;
        return STATUS_OK;
    }
    if (link)
        *why = path + " is a link; give the path of the file it stands for";
    else if (known && info.kind == INPUT_FOLDER)
        *why = path + " is a folder; the output must be a file";
    else
        *why = path + " is not a regular file (a device or a pipe); it is left alone";
    return Failed(CAUSE_OPEN_FAILED);
}

Status IdentifyParent(const std::string& path, FileIdentity* identity) {
    HANDLE folder = OpenPath(ParentOf(path), FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, true);
    if (folder == INVALID_HANDLE_VALUE) return Failed(CAUSE_OPEN_FAILED, GetLastError());
    InputInfo info;
    Status status = STATUS_OK;
    if (InfoOfHandle(folder, true, &info))
        *identity = info.identity;
    else
        status = Failed(CAUSE_OPEN_FAILED, GetLastError());
    CloseHandle(folder);
    return status;
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

Status FinishOutput(FileHandle out, bool executable, const std::string& output, std::string* why) {
    (void)executable;  // any file may be run here; the name decides
    DWORD error = FlushFileBuffers(out) ? 0 : GetLastError();
    if (!CloseHandle(out) && error == 0) error = GetLastError();
    if (error == 0) return STATUS_OK;
    *why = output + ": writing failed: " + SystemErrorText(error);
    return Failed(CAUSE_WRITE_FAILED, error);
}

Status FindInstalledStub(std::string* path) {
    // The DLL's file, or the program's when the library is linked in.
    HMODULE module = NULL;
    if (!GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            (LPCSTR)(void*)&FindInstalledStub, &module))
        return Failed(CAUSE_NOT_FOUND, GetLastError());
    char module_path[MAX_PATH];
    DWORD length = GetModuleFileNameA(module, module_path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return Failed(CAUSE_NOT_FOUND, GetLastError());
    for (const char* relative : {INSTALLED_STUB_FROM_BINDIR, INSTALLED_STUB_FROM_LIBDIR}) {
        std::string stub = JoinPath(ParentOf(std::string(module_path, length)), relative);
        DWORD attributes = GetFileAttributesA(stub.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            *path = stub;
            return STATUS_OK;
        }
    }
    return Failed(CAUSE_NOT_FOUND);
}
