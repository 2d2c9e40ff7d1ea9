// The one walk over the whole payload before anything is written: record
// structure against the file size, and every name component against a check
// that the caller chooses. The extractor asks the file system by trial files
// (ZevCheckArchive); the library and the tool judge names by rule alone.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "payload/byte_source.h"
#include "payload/records.h"
#include "platform/platform.h"

// Says whether one name component (never containing a separator) may be
// created below the destination.
struct NameCheck {
    bool (*accepts)(void* context, const char* component, size_t length);
    void* context;
};

// The name rules alone (IsPortableNameComponent): no file is touched.
NameCheck NameRules();

// The rule a damaged payload broke.
enum PayloadFault {
    PAYLOAD_SOUND = 0,             // none: the walk found no fault
    PAYLOAD_STARTS_PAST_END,       // the file is shorter than the payload start
    PAYLOAD_NAME_LENGTH_ZERO,      // a nameLength of 0
    PAYLOAD_RECORD_CUT_SHORT,      // the name or fields run past the end of the file
    PAYLOAD_NAME_REFUSED,          // a name component the check refused
    PAYLOAD_STORED_PAST_END,       // the stored bytes run past the end of the file
    PAYLOAD_FOLDER_WITH_DATA,      // a folder record with sizes other than 0
    PAYLOAD_EMPTY_FILE_WITH_DATA,  // an empty file that carries stored bytes
};

// Where the walk stopped: the rule broken, the record (1-based, and where it
// begins) and, for a refused name, which of its components.
struct PayloadRefusal {
    PayloadFault fault;
    uint32_t entry;
    uint64_t at;
    EntryRecord record;  // as far as it was read
    size_t component_at, component_length;
};

// Called for every record that the walk has accepted so far, with where its
// stored bytes begin; false stops the walk (answered as sound so far).
typedef bool (*RecordVisitor)(void* context, const EntryRecord& record, uint64_t stored_at);

// Walks the payload that starts at `payload_start`: CAUSE_OK when every
// record is sound; CAUSE_DAMAGED at the first fault, with the rule it broke
// in *refusal when that is given; the failed read's CAUSE_READ_FAILED, with
// the system's number, when reading failed (no verdict on the payload; the
// fault stays PAYLOAD_SOUND). `visit` (may be NULL) sees each record as it is
// accepted. Moves the source's position.
Status WalkPayload(ByteSource* source, uint32_t payload_start, NameCheck check, RecordVisitor visit,
                   void* visit_context, PayloadRefusal* refusal);

// The extractor's check, by the format's procedure: 1 when every record of
// the payload that starts at `payload_start` is sound, 0 when any is broken
// (structure, sizes, or a name the file system or the destination rules
// refuse) or cannot be read. Moves the file position.
int ZevCheckArchive(FileHandle executable, uint32_t payload_start);

// The same walk over any source, answered as WalkPayload answers.
Status CheckPayload(ByteSource* source, uint32_t payload_start);
