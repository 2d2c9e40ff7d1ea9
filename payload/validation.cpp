// The one walk over the whole payload before anything is written: record
// structure against the file size, and every name component against the file
// system and the destination rules.
#include "payload/validation.h"

#include <string.h>

#include "payload/names.h"
#include "payload/records.h"

namespace {

const char SEPARATOR = 0x5C;

// Room for the temporary folder and one component of at most 255 bytes. Fixed
// buffers keep the stub free of the heavy string runtime.
const size_t PATH_ROOM = TEMP_FOLDER_ROOM + 256;

// The user's temporary folder with a separator at its end. The test looks at
// the last byte only, not at the last character.
void TrialFolder(char folder[TEMP_FOLDER_ROOM + 1]) {
    GetTemporaryFolder(folder);
    size_t length = strlen(folder);
    if (length == 0 || folder[length - 1] != PATH_SEPARATOR) folder[length++] = PATH_SEPARATOR;
    folder[length] = 0;
}

// Asks the file system whether it accepts `component` as a name, by a
// throw-away file of that name directly inside the temporary folder.
bool FileSystemAcceptsName(const char* trial_folder, const char* component, size_t length) {
    char path[PATH_ROOM];
    size_t folder_length = strlen(trial_folder);
    memcpy(path, trial_folder, folder_length);
    memcpy(path + folder_length, component, length);
    path[folder_length + length] = 0;
    return !SystemRefusesName(path);
}

// Every component between backslashes must be safe below the destination and
// creatable. A name ending in a backslash has no last component to test.
bool NameIsAccepted(const char* trial_folder, const char* name, int length) {
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
        if (!FileSystemAcceptsName(trial_folder, component, component_length)) return false;
        if (separator == 0) return true;
        position = separator + 1;
    }
}

}  // namespace

int ZevCheckArchive(FileHandle executable, uint32_t payload_start) {
    ByteSource source = FileSource(executable);
    return CheckPayload(&source, payload_start);
}

int CheckPayload(ByteSource* source, uint32_t payload_start) {
    if (SourceSize(source) < (uint64_t)payload_start) return 0;
    char trial_folder[TEMP_FOLDER_ROOM + 1];
    TrialFolder(trial_folder);
    SourceSeek(source, (int64_t)payload_start, FILE_BEGIN);

    for (;;) {
        EntryRecord record;
        int read = ReadEntryRecordFrom(source, &record);
        if (read == 0) return 1;  // the end of the payload
        // A name of length 0, a record cut short, or a failed read.
        if (read < 0) return 0;
        if (!NameIsAccepted(trial_folder, record.name, record.nameLength)) return 0;

        int64_t here = SourceSeek(source, 0, FILE_CURRENT);
        if (here < 0) return 0;
        if ((uint64_t)here + record.storedSize > SourceSize(source)) return 0;

        // The extraction run skips no stored bytes behind a folder and reads
        // none for an empty file; such records must then have none, or the
        // run would read stored bytes as the next record.
        if (EndYen(record.name, record.nameLength)) {
            if (record.originalSize != 0 || record.storedSize != 0) return 0;
        } else if (record.originalSize == 0 && record.storedSize != 0) {
            return 0;
        }

        SourceSeek(source, record.storedSize, FILE_CURRENT);
    }
}
