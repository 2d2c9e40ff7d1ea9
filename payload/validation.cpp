// The one walk over the whole payload before anything is written: record
// structure against the file size, and every name component against the file
// system and the destination rules.
#include "payload/validation.h"

#include <string.h>

#include "payload/names.h"
#include "payload/records.h"

#ifndef _WIN32
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#endif

namespace {

const char SEPARATOR = 0x5C;

// Room for the temporary folder and one component of at most 255 bytes. Fixed
// buffers keep the stub free of the heavy string runtime.
const size_t FOLDER_ROOM = 4096;
const size_t PATH_ROOM = FOLDER_ROOM + 256;

// The user's temporary folder with a separator at its end. The test looks at
// the last byte only.
void TemporaryFolder(char folder[FOLDER_ROOM]) {
#ifdef _WIN32
    char buffer[MAX_PATH + 1] = {0};
    GetTempPathA(MAX_PATH, buffer);
    const char separator = '\\';
#else
    const char* buffer = getenv("TMPDIR");
    if (!buffer || !*buffer || strlen(buffer) > FOLDER_ROOM - 2) buffer = "/tmp";
    const char separator = '/';
#endif
    size_t length = strlen(buffer);
    memcpy(folder, buffer, length);
    if (length == 0 || folder[length - 1] != separator) folder[length++] = separator;
    folder[length] = 0;
}

// Asks the file system whether it accepts `component` as a name by creating a
// throw-away file of that name in the temporary folder. Refused only when the
// system calls the name itself invalid; every other failure (the name exists,
// access is denied, the path is too long) accepts it.
bool FileSystemAcceptsName(const char* temporary_folder, const char* component, size_t length) {
    char path[PATH_ROOM];
    size_t folder_length = strlen(temporary_folder);
    memcpy(path, temporary_folder, folder_length);
    memcpy(path + folder_length, component, length);
    path[folder_length + length] = 0;
#ifdef _WIN32
    HANDLE trial = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, CREATE_NEW,
                               FILE_FLAG_DELETE_ON_CLOSE, NULL);
    if (trial == INVALID_HANDLE_VALUE) return GetLastError() != ERROR_INVALID_NAME;
    CloseHandle(trial);  // deletes it
    return true;
#else
    int trial = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (trial < 0) return errno != EINVAL && errno != EILSEQ;
    close(trial);
    unlink(path);
    return true;
#endif
}

// Every component between backslashes must be safe below the destination and
// creatable. A name ending in a backslash has no last component to test.
bool NameIsAccepted(const char* temporary_folder, const char* name, int length) {
    int position = 1;
    for (;;) {
        int separator = InStr2(position, name, length, &SEPARATOR, 1);
        int end = separator != 0 ? separator : length + 1;
        if (separator == 0 && position > length) return true;
        const char* component = name + position - 1;
        size_t component_length = (size_t)(end - position);
        // The name rules come first: they also keep the trial creation itself
        // inside the temporary folder.
        if (!IsSafeNameComponent(component, component_length)) return false;
        if (!FileSystemAcceptsName(temporary_folder, component, component_length)) return false;
        if (separator == 0) return true;
        position = separator + 1;
    }
}

uint32_t Load32(const uint8_t* bytes) {
    return (uint32_t)bytes[0] | ((uint32_t)bytes[1] << 8) | ((uint32_t)bytes[2] << 16) |
           ((uint32_t)bytes[3] << 24);
}

}  // namespace

int ZevCheckArchive(FileHandle executable, uint32_t payload_start) {
    if (GetFileSize64(executable) < (uint64_t)payload_start) return 0;
    char temporary_folder[FOLDER_ROOM];
    TemporaryFolder(temporary_folder);
    SetFilePointer64(executable, (int64_t)payload_start, FILE_BEGIN);

    for (;;) {
        uint8_t name_length = 0;
        uint32_t got = 0;
        ReadBytes(executable, &name_length, 1, &got);
        if (got == 0) return 1;  // the end of the payload
        if (name_length == 0) return 0;

        char name[256];
        ReadBytes(executable, name, name_length, &got);
        if (got != name_length) return 0;
        if (!NameIsAccepted(temporary_folder, name, name_length)) return 0;

        // Past the three times and attributeWord; originalSize is read because
        // the extraction run reads stored bytes only where it is not 0.
        SetFilePointer64(executable, RECORD_SKIPPED_FIELDS - 4, FILE_CURRENT);
        uint8_t sizes[8];
        ReadBytes(executable, sizes, 8, &got);
        if (got != 8) return 0;
        uint32_t original_size = Load32(sizes);
        uint32_t stored_size = Load32(sizes + 4);

        int64_t here = SetFilePointer64(executable, 0, FILE_CURRENT);
        if (here < 0) return 0;
        if ((uint64_t)here + stored_size > GetFileSize64(executable)) return 0;

        // The extraction run skips no stored bytes behind a folder and reads
        // none for an empty file; such records must then have none, or the
        // run would read stored bytes as the next record.
        if (EndYen(name, name_length)) {
            if (original_size != 0 || stored_size != 0) return 0;
        } else if (original_size == 0 && stored_size != 0) {
            return 0;
        }

        SetFilePointer64(executable, stored_size, FILE_CURRENT);
    }
}
