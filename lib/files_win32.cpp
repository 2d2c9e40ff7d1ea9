// Win32 side of the tool's file services. Paths are byte strings of the ANSI
// code page (932 on the systems the archives are made for) handed straight to
// the ANSI calls; '\' and '/' separate, and only where they are characters of
// their own, never the trail byte of a double-byte character. Below the
// destination, extraction names one component at a time to the native calls,
// relative to the handle of the folder that holds it.
#include "lib/files.h"

#include <io.h>
#include <stdio.h>
#include <string.h>
#include <winternl.h>

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

// A short hidden name no file has: ".qv-" and eight hexadecimal digits.
std::string HiddenName() {
    std::random_device random;
    char name[16];
    snprintf(name, sizeof name, ".qv-%08lx", (unsigned long)random() & 0xFFFFFFFFul);
    return name;
}

// Creates a new file of a hidden name in `folder` into *file. Deletion stays
// shared, so that an interrupt can remove the file while it is open.
Status CreateHidden(const std::string& folder, HANDLE* file, std::string* path) {
    DWORD error = ERROR_FILE_EXISTS;
    for (int attempt = 0; attempt < 100; attempt++) {
        *path = JoinPath(folder, HiddenName());
        *file = CreateFileA(path->c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
        if (*file != INVALID_HANDLE_VALUE) return STATUS_OK;
        error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
    }
    return Failed(CAUSE_WRITE_FAILED, error);
}

// The handle's attributes, or INVALID_FILE_ATTRIBUTES.
DWORD AttributesOf(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return INVALID_FILE_ATTRIBUTES;
    return info.dwFileAttributes;
}

// Keeps *file when it is a file on a disk; a pipe, a device, a console or a
// folder is no archive: closed, NO_FILE, and *why names it as `what`.
Status OnlyRegularFile(HANDLE* file, const std::string& what, std::string* why) {
    DWORD attributes = AttributesOf(*file);
    if (GetFileType(*file) == FILE_TYPE_DISK && attributes != INVALID_FILE_ATTRIBUTES &&
        !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return STATUS_OK;
    *why = what + " is not a regular file";
    CloseHandle(*file);
    *file = NO_FILE;
    return Failed(CAUSE_OPEN_FAILED);
}

// ---------------------------------------------------------------------------
// The native calls behind the extraction: names resolved relative to an open
// folder's handle, and files renamed and deleted through their own handles, so
// that no path is walked again once a folder is open. They are looked up at
// run time: a program that links the static library needs no import library
// beyond the usual ones.

// Not in every toolchain's headers.
typedef BOOLEAN(NTAPI* EqualNamesFunction)(const UNICODE_STRING*, const UNICODE_STRING*, BOOLEAN);
typedef NTSTATUS(NTAPI* ListFunction)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                                      FILE_INFORMATION_CLASS, BOOLEAN, PUNICODE_STRING, BOOLEAN);

struct NativeCalls {
    decltype(&NtCreateFile) create_file;
    decltype(&NtSetInformationFile) set_information;
    decltype(&NtQueryObject) query_object;
    decltype(&RtlNtStatusToDosError) status_to_error;
    EqualNamesFunction equal_names;
    ListFunction list_folder;
};

template <typename Function>
void FindNative(HMODULE ntdll, const char* name, Function* function) {
    *function = ntdll ? (Function)(void*)GetProcAddress(ntdll, name) : nullptr;
}

// The calls, or nullptr where the system lacks one of them.
const NativeCalls* Native() {
    static const NativeCalls calls = [] {
        HMODULE ntdll = GetModuleHandleA("ntdll.dll");
        NativeCalls found;
        FindNative(ntdll, "NtCreateFile", &found.create_file);
        FindNative(ntdll, "NtSetInformationFile", &found.set_information);
        FindNative(ntdll, "NtQueryObject", &found.query_object);
        FindNative(ntdll, "RtlNtStatusToDosError", &found.status_to_error);
        FindNative(ntdll, "RtlEqualUnicodeString", &found.equal_names);
        FindNative(ntdll, "NtQueryDirectoryFile", &found.list_folder);
        return found;
    }();
    bool complete = calls.create_file && calls.set_information && calls.query_object &&
                    calls.status_to_error && calls.equal_names && calls.list_folder;
    return complete ? &calls : nullptr;
}

// The native calls below make or change files in the destination: a
// failure is a failed write, with the system's number of the native status.
Status NativeStatus(NTSTATUS status) {
    if (status >= 0) return STATUS_OK;
    return Failed(CAUSE_WRITE_FAILED, Native()->status_to_error(status));
}

// One component in the ANSI code page as the native calls take it: UTF-16,
// converted as the ANSI calls convert, without the trailing dots and spaces
// that they drop, so that it names the same file as it would there.
bool NativeName(const std::string& name, std::wstring* wide) {
    int length = MultiByteToWideChar(CP_ACP, 0, name.data(), (int)name.size(), nullptr, 0);
    if (length <= 0) return false;
    wide->resize((size_t)length);
    MultiByteToWideChar(CP_ACP, 0, name.data(), (int)name.size(), &(*wide)[0], length);
    while (!wide->empty() && (wide->back() == L'.' || wide->back() == L' ')) wide->pop_back();
    return !wide->empty() && wide->size() < 0x7FFF;
}

// `text` as the native calls take it; they only read it.
UNICODE_STRING Counted(const std::wstring& text) {
    UNICODE_STRING counted;
    counted.Buffer = text.empty() ? nullptr : const_cast<wchar_t*>(text.data());
    counted.Length = counted.MaximumLength = (USHORT)(text.size() * sizeof(wchar_t));
    return counted;
}

const ULONG SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// What a folder of the extraction is held open with. Deletion is not shared,
// so that the folder cannot be renamed or removed while it is held.
const ACCESS_MASK FOLDER_ACCESS = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES |
                                  FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
const ULONG FOLDER_SHARING = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Opens or creates `name` inside the open folder `folder`: the system looks
// the name up in that folder itself, whatever its path has become. An empty
// name opens the folder again.
Status OpenNative(HANDLE folder, const std::wstring& name, ACCESS_MASK access, ULONG sharing,
                  ULONG disposition, ULONG options, ULONG attributes, HANDLE* opened) {
    *opened = NO_FILE;
    const NativeCalls* native = Native();
    if (!native) return Failed(CAUSE_WRITE_FAILED, ERROR_CALL_NOT_IMPLEMENTED);
    UNICODE_STRING counted = Counted(name);
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &counted, OBJ_CASE_INSENSITIVE, folder, nullptr);
    IO_STATUS_BLOCK io;
    HANDLE handle = nullptr;
    Status status = NativeStatus(native->create_file(
        &handle, access | SYNCHRONIZE, &object, &io, nullptr, attributes, sharing, disposition,
        options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0));
    if (status.ok()) *opened = handle;
    return status;
}

Status OpenIn(HANDLE folder, const std::string& name, ACCESS_MASK access, ULONG sharing,
              ULONG disposition, ULONG options, ULONG attributes, HANDLE* opened) {
    std::wstring wide;
    if (!NativeName(name, &wide)) {
        *opened = NO_FILE;
        return Failed(CAUSE_WRITE_FAILED, ERROR_INVALID_NAME);
    }
    return OpenNative(folder, wide, access, sharing, disposition, options, attributes, opened);
}

Status SetInformation(HANDLE file, void* information, ULONG size, FILE_INFORMATION_CLASS kind) {
    const NativeCalls* native = Native();
    IO_STATUS_BLOCK io;
    return NativeStatus(native->set_information(file, &io, information, size, kind));
}

// Sets an open file's times and attributes; a zero time or zero attributes
// leave that as it is.
Status SetTimesAndAttributes(HANDLE file, const FileStamp& stamp, DWORD attributes) {
    FILE_BASIC_INFORMATION basic = {};
    basic.CreationTime.QuadPart = (LONGLONG)stamp.creation;
    basic.LastAccessTime.QuadPart = (LONGLONG)stamp.last_access;
    basic.LastWriteTime.QuadPart = (LONGLONG)stamp.last_write;
    basic.FileAttributes = attributes;
    return SetInformation(file, &basic, sizeof basic, FileBasicInformation);
}

const FileStamp NO_TIMES = {0, 0, 0, false};

// Gives the open file `file` the name `name` in the open folder `folder`.
Status RenameInto(HANDLE file, HANDLE folder, const std::string& name, bool replace) {
    std::wstring wide;
    if (!NativeName(name, &wide)) return Failed(CAUSE_WRITE_FAILED, ERROR_INVALID_NAME);
    size_t bytes = wide.size() * sizeof(wchar_t);
    std::vector<char> buffer(sizeof(FILE_RENAME_INFORMATION) + bytes);
    FILE_RENAME_INFORMATION* rename = (FILE_RENAME_INFORMATION*)buffer.data();
    rename->ReplaceIfExists = replace;
    rename->RootDirectory = folder;
    rename->FileNameLength = (ULONG)bytes;
    memcpy(rename->FileName, wide.data(), bytes);
    return SetInformation(file, rename, (ULONG)buffer.size(), FileRenameInformation);
}

// Deletes an open file through its handle, once it is closed; the read-only
// attribute, which would stop that, goes first.
void DeleteOpenFile(HANDLE file) {
    SetTimesAndAttributes(file, NO_TIMES, FILE_ATTRIBUTE_NORMAL);
    FILE_DISPOSITION_INFORMATION disposition;
    disposition.DoDeleteFile = TRUE;
    SetInformation(file, &disposition, sizeof disposition, FileDispositionInformation);
}

// The name, with its volume, of what an open handle stands for; empty when
// the system cannot tell.
std::wstring ObjectName(HANDLE handle) {
    // The header, then up to 32767 characters.
    std::vector<ULONGLONG> buffer((sizeof(OBJECT_NAME_INFORMATION) + 65536) / sizeof(ULONGLONG));
    ULONG length = 0;
    NTSTATUS status = Native()->query_object(handle, ObjectNameInformation, buffer.data(),
                                             (ULONG)(buffer.size() * sizeof(ULONGLONG)), &length);
    if (status < 0) return std::wstring();
    const UNICODE_STRING& name = ((OBJECT_NAME_INFORMATION*)buffer.data())->Name;
    if (!name.Buffer) return std::wstring();
    return std::wstring(name.Buffer, name.Length / sizeof(wchar_t));
}

// The identity of an open file, as the file system numbers it; 0 when it
// does not.
ULONGLONG IdentityOf(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return 0;
    return ((ULONGLONG)info.nFileIndexHigh << 32) | info.nFileIndexLow;
}

// The entry `name` of `folder` as the folder's listing shows it now: a link
// there shows as a reparse point, with what it leads to. False when the
// entry cannot be found.
bool ListedEntry(HANDLE folder, const std::wstring& name, DWORD* attributes, ULONGLONG* identity) {
    // The name looked for counts only in a handle's first listing: a handle of its own.
    HANDLE listing;
    if (!OpenNative(folder, std::wstring(), FILE_LIST_DIRECTORY, SHARE_ALL, FILE_OPEN,
                    FILE_DIRECTORY_FILE, 0, &listing)
             .ok())
        return false;
    UNICODE_STRING pattern = Counted(name);
    // Room for the entry and a name far longer than a file system allows.
    std::vector<ULONGLONG> buffer((sizeof(FILE_ID_BOTH_DIR_INFORMATION) + 2048 * sizeof(wchar_t)) /
                                  sizeof(ULONGLONG));
    IO_STATUS_BLOCK io;
    NTSTATUS status = Native()->list_folder(listing, nullptr, nullptr, nullptr, &io, buffer.data(),
                                            (ULONG)(buffer.size() * sizeof(ULONGLONG)),
                                            FileIdBothDirectoryInformation, TRUE, &pattern, TRUE);
    CloseHandle(listing);
    if (status < 0) return false;
    const FILE_ID_BOTH_DIR_INFORMATION* entry = (const FILE_ID_BOTH_DIR_INFORMATION*)buffer.data();
    *attributes = entry->FileAttributes;
    *identity = (ULONGLONG)entry->FileId.QuadPart;
    return true;
}

// True when `opened`, just opened as `name` in `folder`, is that entry of the
// folder and not what a link standing there leads to. A system that follows
// links whatever it is asked is caught here twice: by the name of what was
// opened (no answer counts as elsewhere), and by the folder's listing, which
// must show the entry as no link and as the very file that is open.
bool StandsInside(HANDLE folder, const std::string& name, HANDLE opened) {
    std::wstring expected = ObjectName(folder), found = ObjectName(opened), wide;
    if (expected.empty() || found.empty() || !NativeName(name, &wide)) return false;
    if (expected.back() != L'\\') expected += L'\\';
    expected += wide;
    // Names compare as the file system compares them.
    UNICODE_STRING left = Counted(expected), right = Counted(found);
    if (!Native()->equal_names(&left, &right, TRUE)) return false;

    DWORD attributes;
    ULONGLONG listed, identity = IdentityOf(opened);
    if (!ListedEntry(folder, wide, &attributes, &listed)) return false;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return false;
    // A file system that numbers no files leaves the names to tell.
    return listed == 0 || identity == 0 || listed == identity;
}

// Makes the file `name` in `folder` read-only or not. Only a file of that
// folder is changed, never what a link there leads to; true when it changed.
bool SetReadOnlyIn(HANDLE folder, const std::string& name, bool read_only) {
    HANDLE file;
    if (!OpenIn(folder, name, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, SHARE_ALL, FILE_OPEN,
                FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, 0, &file)
             .ok())
        return false;
    DWORD attributes = AttributesOf(file);
    bool changed = attributes != INVALID_FILE_ATTRIBUTES &&
                   !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                   ((attributes & FILE_ATTRIBUTE_READONLY) != 0) != read_only &&
                   StandsInside(folder, name, file);
    if (changed) {
        // The attributes a program may set; the others describe the file.
        const DWORD settable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                               FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                               FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
        attributes = (attributes ^ FILE_ATTRIBUTE_READONLY) & settable;
        changed =
            SetTimesAndAttributes(file, NO_TIMES, attributes ? attributes : FILE_ATTRIBUTE_NORMAL)
                .ok();
    }
    CloseHandle(file);
    return changed;
}

}  // namespace

Status OpenArchiveFile(const std::string& path, FileHandle* file, std::string* why) {
    *file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                        nullptr);
    if (*file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        *why = "cannot open " + path + ": " + ErrorText(error);
        return Failed(CAUSE_OPEN_FAILED, error);
    }
    return OnlyRegularFile(file, path, why);
}

Status OpenArchiveDescriptor(int descriptor, FileHandle* file, std::string* why) {
    HANDLE original = HandleOfDescriptor(descriptor);
    *file = NO_FILE;
    if (original == NO_FILE) {
        // The C runtime has no such descriptor, and tells it in errno only:
        // the system's number for a handle that is none stands for it.
        *why = "cannot use the descriptor " + std::to_string(descriptor);
        return Failed(CAUSE_OPEN_FAILED, ERROR_INVALID_HANDLE);
    }
    if (!DuplicateHandle(GetCurrentProcess(), original, GetCurrentProcess(), file, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        DWORD error = GetLastError();
        *file = NO_FILE;
        *why = "cannot use the descriptor " + std::to_string(descriptor) + ": " + ErrorText(error);
        return Failed(CAUSE_OPEN_FAILED, error);
    }
    return OnlyRegularFile(file, "the descriptor " + std::to_string(descriptor), why);
}

FileHandle HandleOfDescriptor(int descriptor) {
    intptr_t handle = _get_osfhandle(descriptor);
    return handle == -1 ? NO_FILE : (HANDLE)handle;
}

namespace {

// The partial file for the console control handler, which runs on a thread of
// its own: the path is complete before the flag says so.
char partial_file[MAX_PATH * 2];
volatile LONG partial_file_set = 0;

}  // namespace

Status CreateFileBeside(const std::string& neighbour, FileHandle* file, std::string* path) {
    Status status = CreateHidden(ParentOf(neighbour), file, path);
    InterlockedExchange(&partial_file_set, 0);
    if (!status.ok()) return status;
    if (path->size() < sizeof partial_file) {
        memcpy(partial_file, path->c_str(), path->size() + 1);
        InterlockedExchange(&partial_file_set, 1);
    }
    return STATUS_OK;
}

void ForgetPartialFile() { InterlockedExchange(&partial_file_set, 0); }

// The file was made with deletion shared: it goes once the process's handle
// to it is closed, as ending the process does.
void RemovePartialFileOnInterrupt() {
    if (InterlockedCompareExchange(&partial_file_set, 0, 0)) DeleteFileA(partial_file);
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

Status PutInPlace(const std::string& part, const std::string& target, std::string* why) {
    // A read-only file is not replaced by a rename; the user asked for it to
    // be replaced, so the attribute goes first, and comes back on failure.
    DWORD attributes = GetFileAttributesA(target.c_str());
    bool cleared = attributes != INVALID_FILE_ATTRIBUTES &&
                   (attributes & FILE_ATTRIBUTE_READONLY) &&
                   SetFileAttributesA(target.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (MoveFileExA(part.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return STATUS_OK;
    DWORD error = GetLastError();
    if (cleared) SetFileAttributesA(target.c_str(), attributes);
    *why = "cannot put the file in place: " + ErrorText(error);
    return Failed(CAUSE_WRITE_FAILED, error);
}

void RemoveFile(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        SetFileAttributesA(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    DeleteFileA(path.c_str());
}

Status OpenDestination(const std::string& path, OpenFolder* folder, std::string* why) {
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
            return Failed(CAUSE_WRITE_FAILED);
        }
        if (!CreateDirectoryA(prefix.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            DWORD error = GetLastError();
            *why = "the destination cannot be made: cannot create folder " + prefix + ": " +
                   ErrorText(error);
            return Failed(CAUSE_WRITE_FAILED, error);
        }
    }
    // The destination itself may be a link: the user chose it.
    folder->path = path;
    folder->handle = CreateFileA(path.c_str(), FOLDER_ACCESS, FOLDER_SHARING, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder->handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        *why = "the destination " + path + " cannot be opened: " + ErrorText(error);
        return Failed(CAUSE_WRITE_FAILED, error);
    }
    return STATUS_OK;
}

Status EnterFolder(const OpenFolder& parent, const std::string& name, OpenFolder* folder,
                   std::string* why) {
    folder->path = JoinPath(parent.path, name);
    // Made when missing and opened in one step; a link standing there is
    // opened as itself, not followed.
    Status opened = OpenIn(parent.handle, name, FOLDER_ACCESS, FOLDER_SHARING, FILE_OPEN_IF,
                           FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, 0, &folder->handle);
    if (!opened.ok()) {
        if (opened.system_error == ERROR_DIRECTORY) {
            *why = folder->path + " exists and is not a folder";
            return Failed(CAUSE_WRITE_FAILED);
        }
        *why = "cannot open folder " + folder->path + ": " + ErrorText(opened.system_error);
        return opened;
    }
    DWORD attributes = AttributesOf(folder->handle);
    std::string problem;
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !StandsInside(parent.handle, name, folder->handle)) {
        problem = "refusing to follow the link " + folder->path;
    } else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        problem = folder->path + " exists and is not a folder";
    }
    if (problem.empty()) return STATUS_OK;
    CloseFolder(folder);
    *why = problem;
    return Failed(CAUSE_WRITE_FAILED);
}

void CloseFolder(OpenFolder* folder) {
    CloseFile(folder->handle);
    folder->handle = NO_FILE;
}

PathKind KindIn(const OpenFolder& folder, const std::string& name) {
    HANDLE entry;
    Status opened = OpenIn(folder.handle, name, FILE_READ_ATTRIBUTES, SHARE_ALL, FILE_OPEN,
                           FILE_OPEN_REPARSE_POINT, 0, &entry);
    if (!opened.ok()) {
        DWORD error = opened.system_error;
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PATH_MISSING
                                                                              : PATH_OTHER;
    }
    DWORD attributes = AttributesOf(entry);
    CloseHandle(entry);
    // A link to a folder is not a folder of the destination.
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
        !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return PATH_FOLDER;
    }
    return PATH_OTHER;
}

Status StartFile(const OpenFolder& folder, PendingFile* pending, std::string* why) {
    Status status = STATUS_OK;
    for (int attempt = 0; attempt < 100; attempt++) {
        pending->hidden_name = HiddenName();
        // Deletion stays shared, so that an interrupt can remove the file
        // while it is open; the handle itself may rename and delete it.
        status = OpenIn(folder.handle, pending->hidden_name, GENERIC_READ | GENERIC_WRITE | DELETE,
                        FILE_SHARE_DELETE, FILE_CREATE, FILE_NON_DIRECTORY_FILE,
                        FILE_ATTRIBUTE_HIDDEN, &pending->file);
        if (status.ok()) return STATUS_OK;
        if (status.system_error != ERROR_ALREADY_EXISTS && status.system_error != ERROR_FILE_EXISTS)
            break;
    }
    *why = "cannot create a file in " + folder.path + ": " + ErrorText(status.system_error);
    return status;
}

Status FinishFileAs(const OpenFolder& folder, PendingFile* pending, const std::string& name,
                    const FileStamp& stamp, bool replace, std::string* why) {
    DWORD attributes = stamp.read_only ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
    Status status = SetTimesAndAttributes(pending->file, stamp, attributes);
    if (!status.ok()) {
        *why = "cannot set its times and attributes: " + ErrorText(status.system_error);
    } else {
        // A read-only file is not replaced by a rename; the user asked for it
        // to be replaced, so the attribute goes first, and comes back on failure.
        bool cleared = replace && SetReadOnlyIn(folder.handle, name, false);
        status = RenameInto(pending->file, folder.handle, name, replace);
        if (!status.ok()) {
            if (cleared) SetReadOnlyIn(folder.handle, name, true);
            DWORD error = status.system_error;
            *why = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS
                       ? JoinPath(folder.path, name) + " appeared meanwhile; not replaced"
                       : "cannot put the file in place: " + ErrorText(error);
        }
    }
    if (!status.ok()) DeleteOpenFile(pending->file);
    // WriteFile has reported every failure to write; closing does not fail.
    CloseHandle(pending->file);
    pending->file = NO_FILE;
    return status;
}

// The file goes through its own handle; its folder is not needed.
void AbandonFile(const OpenFolder&, PendingFile* pending) {
    if (pending->file == NO_FILE) return;
    DeleteOpenFile(pending->file);
    CloseHandle(pending->file);
    pending->file = NO_FILE;
}

void SetFolderTimes(const OpenFolder& folder, const FileStamp& stamp) {
    SetTimesAndAttributes(folder.handle, stamp, 0);
}

std::string SystemErrorText(uint32_t code) { return ErrorText(code); }
