// The payload: entry records appended behind the last section of the
// executable, from there to the end of the file. Little-endian throughout.
#pragma once

#include <stdint.h>

#include "payload/byte_source.h"
#include "platform/status.h"
#include "platform/platform.h"

const uint16_t ATTRIBUTE_MASK = 0x1FFF;  // the Windows attributes that are applied
const uint16_t ODD_RESCALE = 0x2000;     // stage 1 runs with the odd rescale rule
const uint16_t ATTRIBUTE_DIRECTORY = 0x10;
const uint16_t ATTRIBUTE_ARCHIVE = 0x20;
const uint16_t ATTRIBUTE_READONLY = 0x01;

// Bytes from creationTime up to and including originalSize.
const uint32_t RECORD_SKIPPED_FIELDS = 30;
// Fixed part of a record besides the name.
const uint32_t RECORD_FIXED_SIZE = 35;

// One archived folder or file. `name` is code page 932, backslash-separated,
// relative, with a NUL added behind its nameLength bytes.
struct EntryRecord {
    uint8_t nameLength;
    char name[256];
    uint64_t creationTime;
    uint64_t lastAccessTime;
    uint64_t lastWriteTime;
    uint16_t attributeWord;
    uint32_t originalSize;
    uint32_t storedSize;
};

// Payload start of an executable: the end of the raw data of its last section,
// found from the PE headers. 0 when the file cannot be opened or is not "MZ"/"PE".
uint32_t GetEXESize(const char* path);

// The same for a file that is already open (and may be open for writing), or
// for any source; it moves the position.
uint32_t GetEXESizeOfOpenFile(FileHandle file);
uint32_t GetEXESizeOfSource(ByteSource* source);

// Reads one record's fields (not its stored bytes) at the current position.
// CAUSE_OK with the record, or with *at_end set at the end of the payload (no
// nameLength byte); CAUSE_DAMAGED when the record is cut short or its
// nameLength is 0; the failed read's CAUSE_READ_FAILED, with the system's
// number, when reading failed.
Status ReadEntryRecord(FileHandle file, EntryRecord* record, bool* at_end);
Status ReadEntryRecordFrom(ByteSource* source, EntryRecord* record, bool* at_end);

// Largest record without its stored bytes.
const uint32_t RECORD_MAX_SIZE = RECORD_FIXED_SIZE + 255;

// One record's fields as stored (RECORD_FIXED_SIZE + nameLength bytes) into
// `bytes`; answers that count. A nameLength of 0 is written as it is.
uint32_t EncodeEntryRecord(const EntryRecord* record, uint8_t bytes[RECORD_MAX_SIZE]);

// Writes one record's fields; the caller writes the stored bytes behind it.
// CAUSE_INVALID for a nameLength of 0, the failed write's CAUSE_WRITE_FAILED.
Status WriteEntryRecord(FileHandle file, const EntryRecord* record);
