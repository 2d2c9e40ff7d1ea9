// The one walk over the whole payload before anything is written: record
// structure against the file size, and every name component against the
// caller's check: trial files in the temporary folder for the extractor, the
// name rules for the library.
#include "payload/validation.h"

#include <string.h>

#include "payload/names.h"

namespace {

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
// throw-away file of that name directly inside the temporary folder. The name
// rules come first: they also keep the trial creation itself inside the
// temporary folder.
bool FileSystemAcceptsName(void* context, const char* component, size_t length) {
    if (!IsSafeNameComponent(component, length)) return false;
    const char* trial_folder = (const char*)context;
    char path[PATH_ROOM];
    size_t folder_length = strlen(trial_folder);
    memcpy(path, trial_folder, folder_length);
    memcpy(path + folder_length, component, length);
    path[folder_length + length] = 0;
    return !SystemRefusesName(path);
}

bool RulesAcceptName(void*, const char* component, size_t length) {
    return IsPortableNameComponent(component, length);
}

// Every component between backslashes must pass the check. A name ending in a
// backslash has no last component to test. On a refusal, *at and *length
// locate the component.
bool NameIsAccepted(NameCheck check, const char* name, int length, size_t* at,
                    size_t* refused_length) {
    int position = 1;
    for (;;) {
        int separator = InStr2(position, name, length, &NAME_SEPARATOR, 1);
        int end = separator != 0 ? separator : length + 1;
        if (separator == 0 && position > length) return true;
        *at = (size_t)(position - 1);
        *refused_length = (size_t)(end - position);
        if (!check.accepts(check.context, name + *at, *refused_length)) return false;
        if (separator == 0) return true;
        position = separator + 1;
    }
}

Status Refuse(PayloadRefusal* refusal, PayloadFault fault) {
    refusal->fault = fault;
    return Failed(CAUSE_DAMAGED);
}

}  // namespace

NameCheck NameRules() { return NameCheck{RulesAcceptName, NULL}; }

Status WalkPayload(ByteSource* source, uint32_t payload_start, NameCheck check, RecordVisitor visit,
                   void* visit_context, PayloadRefusal* refusal) {
    PayloadRefusal scratch;
    PayloadRefusal* r = refusal ? refusal : &scratch;
    memset(r, 0, sizeof *r);
    if (SourceSize(source) < (uint64_t)payload_start) return Refuse(r, PAYLOAD_STARTS_PAST_END);
    SourceSeek(source, (int64_t)payload_start, FILE_BEGIN);

    for (uint32_t entry = 1;; entry++) {
        r->entry = entry;
        r->at = (uint64_t)SourceSeek(source, 0, FILE_CURRENT);
        EntryRecord* record = &r->record;
        record->nameLength = 0;
        bool at_end = false;
        Status read = ReadEntryRecordFrom(source, record, &at_end);
        if (read.cause == CAUSE_DAMAGED) {
            return Refuse(
                r, record->nameLength == 0 ? PAYLOAD_NAME_LENGTH_ZERO : PAYLOAD_RECORD_CUT_SHORT);
        }
        if (!read.ok()) return read;
        if (at_end) return STATUS_OK;  // the end of the payload
        if (!NameIsAccepted(check, record->name, record->nameLength, &r->component_at,
                            &r->component_length))
            return Refuse(r, PAYLOAD_NAME_REFUSED);

        int64_t here = SourceSeek(source, 0, FILE_CURRENT);
        if (here < 0) return Refuse(r, PAYLOAD_RECORD_CUT_SHORT);
        if ((uint64_t)here + record->storedSize > SourceSize(source))
            return Refuse(r, PAYLOAD_STORED_PAST_END);

        // The extraction run skips no stored bytes behind a folder and reads
        // none for an empty file; such records must then have none, or the
        // run would read stored bytes as the next record.
        if (EndYen(record->name, record->nameLength)) {
            if (record->originalSize != 0 || record->storedSize != 0)
                return Refuse(r, PAYLOAD_FOLDER_WITH_DATA);
        } else if (record->originalSize == 0 && record->storedSize != 0) {
            return Refuse(r, PAYLOAD_EMPTY_FILE_WITH_DATA);
        }

        if (visit && !visit(visit_context, *record, (uint64_t)here)) return STATUS_OK;
        SourceSeek(source, record->storedSize, FILE_CURRENT);
    }
}

int ZevCheckArchive(FileHandle executable, uint32_t payload_start) {
    ByteSource source = FileSource(executable);
    return CheckPayload(&source, payload_start).ok() ? 1 : 0;
}

Status CheckPayload(ByteSource* source, uint32_t payload_start) {
    char trial_folder[TEMP_FOLDER_ROOM + 1];
    TrialFolder(trial_folder);
    NameCheck trial = {FileSystemAcceptsName, trial_folder};
    return WalkPayload(source, payload_start, trial, NULL, NULL, NULL);
}
