// The extraction run: destination, payload check, and one pass over the
// entry records that recreates folders and files with their stored times and
// attributes. Every problem with one entry is a notice; only refusals before
// the first entry stop the run.
#include "app/extraction_run.h"

#include <windows.h>
#include <string.h>

#include "app/decode_pump.h"
#include "app/texts.h"
#include "app/window_services.h"
#include "decoder/work_files.h"
#include "payload/names.h"
#include "payload/records.h"
#include "payload/validation.h"
#include "platform/platform.h"

namespace {

// The four controls a run locks, in the order they are disabled and enabled.
const int LOCKED_CONTROLS[] = {DestinationBox, BrowseButton, ExtractButton, ExitButton};

// The most tildes put in front of a name before a file is given up.
const int MAX_ALTERNATIVES = 260;

// Room for every text a run builds: a destination of up to MAX_PATH bytes,
// up to 260 tildes, a name of up to 255 bytes, twice over in one notice, and
// the fixed texts. Appends beyond it are cut, which no run can reach.
const size_t TEXT_CAPACITY = 4096;

// A byte string with a fixed room and a terminating NUL.
struct Text {
    char bytes[TEXT_CAPACITY];
    size_t length;
};

void Clear(Text* text) {
    text->length = 0;
    text->bytes[0] = 0;
}

void Append(Text* text, const char* bytes, size_t count) {
    size_t room = TEXT_CAPACITY - 1 - text->length;
    if (count > room) count = room;
    memcpy(text->bytes + text->length, bytes, count);
    text->length += count;
    text->bytes[text->length] = 0;
}

void Append(Text* text, const char* string) { Append(text, string, strlen(string)); }

void Append(Text* text, const Text& other) { Append(text, other.bytes, other.length); }

void Notice(const Text& text, const char* caption, UINT style, int* answer) {
    ShowMessage(MainWindow, text.bytes, caption, style, answer);
}

// Length of the part of `path` that names a drive or a share, not a folder
// to be made: "C:" or "\\server\share", with the backslash behind it.
size_t RootLength(const char* path) {
    if (path[0] != 0 && path[1] == ':') return path[2] == '\\' ? 3 : 2;
    if (path[0] != '\\') return 0;
    if (path[1] != '\\') return 1;
    // Behind the second single-byte backslash after "\\": past server and share.
    int separators = 0;
    const char* p = path + 2;
    for (; *p && separators < 2; p = CharNextA(p)) {
        if (*p == '\\') separators++;
    }
    return (size_t)(p - path);
}

// Creates every missing folder of `path`, which ends in a backslash, parents
// first. Folder names end only at backslashes that are characters of their
// own: a search for the byte 0x5C would also cut at the trail byte of a
// double-byte character (ソ is 83 5C, 表 is 95 5C) and make a folder of the
// name's first characters. FALSE when a folder can be neither made nor found.
BOOL MakeFolderPath(const char* path) {
    size_t root = RootLength(path);
    Text folder;
    for (const char* p = path + root; *p; p = CharNextA(p)) {
        if (*p != '\\' || p == path + root) continue;
        Clear(&folder);
        Append(&folder, path, (size_t)(p - path));
        if (!CreateDirectoryA(folder.bytes, NULL) && GetLastError() != ERROR_ALREADY_EXISTS)
            return FALSE;
    }
    return TRUE;
}

void EnableLockedControls(BOOL enable) {
    for (int id : LOCKED_CONTROLS) EnableWindow(GetDlgItem(MainWindow, id), enable);
}

// Shows a refusal of the whole run and returns the window to idle.
void RefuseRun(HANDLE executable, const char* text) {
    ShowMessage(MainWindow, text, CAPTION_ERROR, STYLE_NOTICE, NULL);
    if (executable != INVALID_HANDLE_VALUE) CloseHandle(executable);
    EnableLockedControls(TRUE);
}

FILETIME ToFileTime(uint64_t time) {
    FILETIME file_time;
    file_time.dwLowDateTime = (DWORD)time;
    file_time.dwHighDateTime = (DWORD)(time >> 32);
    return file_time;
}

// The three stored times and the attribute word of a record.
struct StoredStamps {
    FILETIME creation;
    FILETIME last_access;
    FILETIME last_write;
    uint16_t attribute_word;
};

StoredStamps StampsOf(const EntryRecord& record) {
    StoredStamps stamps;
    stamps.creation = ToFileTime(record.creationTime);
    stamps.last_access = ToFileTime(record.lastAccessTime);
    stamps.last_write = ToFileTime(record.lastWriteTime);
    stamps.attribute_word = record.attributeWord;
    return stamps;
}

// A folder and all its missing parents, then its attributes, and its times
// when a creation time was stored. A folder has no stored bytes.
void ExtractFolder(const EntryRecord& record, const Text& target) {
    MakeFolderPath(target.bytes);
    StoredStamps stamps = StampsOf(record);
    if (record.creationTime != 0) {
        HANDLE folder = CreateFileA(target.bytes, GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, NULL);
        if (folder != INVALID_HANDLE_VALUE) {
            SetFileTime(folder, &stamps.creation, &stamps.last_access, &stamps.last_write);
            CloseHandle(folder);
        }
    }
    SetFileAttributesA(target.bytes, stamps.attribute_word & ATTRIBUTE_MASK);
}

// Tells the user that nothing could be extracted to `path`.
void NoticeNotExtracted(const Text& path) {
    Text notice;
    Clear(&notice);
    Append(&notice, path);
    Append(&notice, TEXT_NO_NAME);
    Notice(notice, CAPTION_NOTICE, STYLE_NOTICE, NULL);
}

HANDLE CreateTargetFile(const char* path) {
    return CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
}

// Creates the target, or else the destination + 1..260 tildes + the name.
// On return `target` is the path actually created (unchanged when none
// could be) and the answer is the number of tildes used: 0 for the target
// itself, MAX_ALTERNATIVES + 1 when nothing could be created.
int CreateTarget(const Text& destination, const Text& name, Text* target, HANDLE* handle) {
    *handle = CreateTargetFile(target->bytes);
    if (*handle != INVALID_HANDLE_VALUE) return 0;

    Text alternative;
    for (int tildes = 1; tildes <= MAX_ALTERNATIVES; tildes++) {
        Clear(&alternative);
        Append(&alternative, destination);
        for (int i = 0; i < tildes; i++) Append(&alternative, "~", 1);
        Append(&alternative, name);
        *handle = CreateTargetFile(alternative.bytes);
        if (*handle != INVALID_HANDLE_VALUE) {
            *target = alternative;
            return tildes;
        }
    }

    NoticeNotExtracted(*target);  // still the destination + the name
    return MAX_ALTERNATIVES + 1;
}

// Tells the user that the entry went to another name than its own.
void NoticeAlternative(const Text& destination, const Text& name, const Text& alternative) {
    Text notice;
    Clear(&notice);
    Append(&notice, destination);
    Append(&notice, name);
    Append(&notice, TEXT_ALTERNATIVE);
    Append(&notice, alternative);
    Notice(notice, CAPTION_NOTICE, STYLE_NOTICE, NULL);
}

// One file: the overwrite question, decoding through the work files, the
// target created only once the data is known to be sound, then the stored
// times and attributes.
void ExtractFile(HANDLE executable, const Text& destination, const EntryRecord& record,
                 const Text& name, Text* target) {
    if (GetFileAttributesA(target->bytes) != INVALID_FILE_ATTRIBUTES) {
        Text question;
        Clear(&question);
        Append(&question, *target);
        Append(&question, TEXT_OVERWRITE);
        int answer = 0;
        Notice(question, CAPTION_OVERWRITE, STYLE_QUESTION, &answer);
        if (answer == IDNO) {
            // The next record starts right behind the skipped entry's stored bytes.
            SetFilePointer64(executable, (int64_t)(uint64_t)record.storedSize, FILE_CURRENT);
            return;
        }
    }

    StoredStamps stamps = StampsOf(record);
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (record.originalSize == 0) {
        // An empty file needs no stored bytes and no work files.
        int tildes = CreateTarget(destination, name, target, &handle);
        if (tildes >= 1 && tildes <= MAX_ALTERNATIVES)
            NoticeAlternative(destination, name, *target);
    } else {
        StoredEntry entry =
            StoredEntryOf(record.storedSize, record.originalSize, record.attributeWord);
        WorkFiles files;
        // Whatever went wrong, for the user the entry could not be decoded.
        if (!DecodeStoredEntry(executable, entry, DecodePump(), &files).ok()) {
            Text notice;
            Clear(&notice);
            Append(&notice, name);
            Append(&notice, TEXT_CORRUPT_ENTRY);
            Notice(notice, CAPTION_NOTICE, STYLE_NOTICE, NULL);
        } else {
            int tildes = CreateTarget(destination, name, target, &handle);
            if (handle != INVALID_HANDLE_VALUE) {
                if (ExpandWorkFile(files.second, handle, DecodePump()).ok()) {
                    if (tildes >= 1) NoticeAlternative(destination, name, *target);
                } else {
                    // The last stage could not write everything (a full disk,
                    // say): a cut-off file must not stand there as if extracted.
                    CloseHandle(handle);
                    handle = INVALID_HANDLE_VALUE;
                    DeleteFileA(target->bytes);
                    NoticeNotExtracted(*target);
                }
            }
        }
        CloseWorkFiles(&files);
    }

    if (handle != INVALID_HANDLE_VALUE) {
        SetFileTime(handle, &stamps.creation, &stamps.last_access, &stamps.last_write);
        CloseHandle(handle);
        SetFileAttributesA(target->bytes, stamps.attribute_word & ATTRIBUTE_MASK);
    }
}

// Checks the destination, creating it when missing. False after the error
// has been shown.
bool PrepareDestination(Text* destination) {
    char box[MAX_PATH] = {0};
    GetDlgItemTextA(MainWindow, DestinationBox, box, MAX_PATH);
    box[MAX_PATH - 1] = 0;
    Clear(destination);
    Append(destination, box);
    // An empty box becomes a lone backslash: the root of the current drive.
    if (!EndYen(destination->bytes, destination->length)) Append(destination, "\\", 1);

    if (GetFileAttributesA(destination->bytes) == INVALID_FILE_ATTRIBUTES &&
        !MakeFolderPath(destination->bytes)) {
        ShowMessage(MainWindow, TEXT_BAD_DESTINATION, CAPTION_ERROR, STYLE_NOTICE, NULL);
        return false;
    }
    return true;
}

}  // namespace

void ExtractionRun() {
    Text destination;
    if (!PrepareDestination(&destination)) return;

    EnableLockedControls(FALSE);

    char executable_path[MAX_PATH] = {0};
    GetModuleFileNameA(NULL, executable_path, MAX_PATH);
    executable_path[MAX_PATH - 1] = 0;
    HANDLE executable =
        CreateFileA(executable_path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (executable == INVALID_HANDLE_VALUE) {
        RefuseRun(executable, TEXT_NO_READ_ACCESS);
        return;
    }
    // The old 9x line positions files with 32-bit distances only. A size that
    // cannot be read comes back as all ones and counts as too large.
    if (IsWin9x && GetFileSize64(executable) >= 0x100000000ull) {
        RefuseRun(executable, TEXT_TOO_LARGE_9X);
        return;
    }
    uint32_t payload_start = GetEXESize(executable_path);
    if (!ZevCheckArchive(executable, payload_start)) {
        RefuseRun(executable, TEXT_BROKEN_PAYLOAD);
        return;
    }
    SetFilePointer64(executable, (int64_t)(uint64_t)payload_start, FILE_BEGIN);

    Text name;
    Text caption;
    Text target;
    for (;;) {
        // The validation has made sure every record is whole: no record means
        // the end of the payload.
        EntryRecord record;
        bool at_end = false;
        if (!ReadEntryRecord(executable, &record, &at_end).ok() || at_end) break;
        Clear(&name);
        Append(&name, record.name, record.nameLength);

        Clear(&caption);
        Append(&caption, TEXT_CAPTION_PREFIX);
        Append(&caption, name);
        Append(&caption, TEXT_CAPTION_SUFFIX);
        SetWindowTextA(MainWindow, caption.bytes);

        Clear(&target);
        Append(&target, destination);
        Append(&target, name);
        if (EndYen(target.bytes, target.length))
            ExtractFolder(record, target);
        else
            ExtractFile(executable, destination, record, name, &target);
    }

    // The window's destruction ends the message loop and the program.
    CloseHandle(executable);
    DestroyWindow(MainWindow);
}
