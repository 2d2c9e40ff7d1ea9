// Locating the payload behind the PE sections, and reading and writing the
// entry records it consists of.
#include "payload/records.h"

#include <string.h>

#include "platform/byte_order.h"

namespace {

// Reads exactly `size` bytes at `position`. The header reads are deliberately
// not checked: a short read leaves the zeros the buffer started with, and the
// two signature tests are the only judgement made on the headers.
void ReadAt(ByteSource* source, int64_t position, uint8_t* buffer, uint32_t size) {
    uint32_t got = 0;
    memset(buffer, 0, size);
    SourceSeek(source, position, FILE_BEGIN);
    SourceRead(source, buffer, size, &got);
}

}  // namespace

uint32_t GetEXESizeOfSource(ByteSource* source) {
    uint8_t bytes[8];
    ReadAt(source, 0, bytes, 2);
    if (Load16LE(bytes) != 0x5A4D) return 0;  // "MZ"

    // Only the low 16 bits of the 32-bit e_lfanew field are used.
    ReadAt(source, 60, bytes, 2);
    uint16_t e_lfanew = Load16LE(bytes);

    // Only "PE" is compared, not the two zero bytes behind it.
    ReadAt(source, e_lfanew, bytes, 2);
    if (Load16LE(bytes) != 0x4550) return 0;

    // The low byte of the section count; the table is taken to begin behind a
    // 224-byte optional header (e_lfanew + 248), and 16 is the offset of
    // SizeOfRawData in a 40-byte section header. A count of 0 makes n - 1
    // negative, which the 64-bit arithmetic carries as it is.
    ReadAt(source, (int64_t)e_lfanew + 6, bytes, 1);
    int64_t sections = bytes[0];
    ReadAt(source, (int64_t)e_lfanew + 264 + 40 * (sections - 1), bytes, 8);
    uint32_t size_of_raw_data = Load32LE(bytes);
    uint32_t pointer_to_raw_data = Load32LE(bytes + 4);
    return (uint32_t)(size_of_raw_data + pointer_to_raw_data);
}

uint32_t GetEXESizeOfOpenFile(FileHandle file) {
    ByteSource source = FileSource(file);
    return GetEXESizeOfSource(&source);
}

uint32_t GetEXESize(const char* path) {
    FileHandle file;
    if (!OpenForReading(path, &file).ok()) return 0;
    uint32_t size = GetEXESizeOfOpenFile(file);
    CloseFile(file);
    return size;
}

Status ReadEntryRecord(FileHandle file, EntryRecord* record, bool* at_end) {
    ByteSource source = FileSource(file);
    return ReadEntryRecordFrom(&source, record, at_end);
}

// Exactly `size` bytes: CAUSE_DAMAGED when the source ends before.
static Status ReadWhole(ByteSource* source, void* buffer, uint32_t size) {
    uint32_t got = 0;
    Status read = SourceRead(source, buffer, size, &got);
    if (read.ok() && got != size) return Failed(CAUSE_DAMAGED);
    return read;
}

Status ReadEntryRecordFrom(ByteSource* source, EntryRecord* record, bool* at_end) {
    uint8_t length = 0;
    uint32_t got = 0;
    *at_end = false;
    Status read = SourceRead(source, &length, 1, &got);
    if (!read.ok()) return read;
    if (got == 0) {
        *at_end = true;
        return STATUS_OK;
    }
    if (length == 0) return Failed(CAUSE_DAMAGED);

    record->nameLength = length;
    read = ReadWhole(source, record->name, length);
    if (!read.ok()) return read;
    record->name[length] = '\0';

    uint8_t fields[RECORD_FIXED_SIZE - 1];  // everything behind the name
    read = ReadWhole(source, fields, sizeof fields);
    if (!read.ok()) return read;
    record->creationTime = Load64LE(fields);
    record->lastAccessTime = Load64LE(fields + 8);
    record->lastWriteTime = Load64LE(fields + 16);
    record->attributeWord = Load16LE(fields + 24);
    record->originalSize = Load32LE(fields + 26);
    record->storedSize = Load32LE(fields + 30);
    return STATUS_OK;
}

uint32_t EncodeEntryRecord(const EntryRecord* record, uint8_t bytes[RECORD_MAX_SIZE]) {
    uint32_t n = record->nameLength;
    bytes[0] = record->nameLength;
    memcpy(bytes + 1, record->name, n);
    Store64LE(bytes + 1 + n, record->creationTime);
    Store64LE(bytes + 9 + n, record->lastAccessTime);
    Store64LE(bytes + 17 + n, record->lastWriteTime);
    Store16LE(bytes + 25 + n, record->attributeWord);
    Store32LE(bytes + 27 + n, record->originalSize);
    Store32LE(bytes + 31 + n, record->storedSize);
    return RECORD_FIXED_SIZE + n;
}

Status WriteEntryRecord(FileHandle file, const EntryRecord* record) {
    if (record->nameLength == 0) return Failed(CAUSE_INVALID);
    uint8_t bytes[RECORD_MAX_SIZE];
    return WriteBytes(file, bytes, EncodeEntryRecord(record, bytes));
}
