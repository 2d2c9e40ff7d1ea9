#include "payload/byte_source.h"

#include <string.h>

ByteSource FileSource(FileHandle file) {
    ByteSource source = {file, nullptr, 0, 0, nullptr};
    return source;
}

ByteSource MemorySource(const void* data, uint64_t size) {
    ByteSource source = {NO_FILE, (const uint8_t*)data, size, 0, nullptr};
    return source;
}

ByteSource CallsSource(const SourceCalls* calls) {
    ByteSource source = {NO_FILE, nullptr, calls->size, 0, calls};
    return source;
}

int64_t SourceSeek(ByteSource* source, int64_t distance, uint32_t method) {
    if (source->file != NO_FILE) return SetFilePointer64(source->file, distance, method);
    int64_t base = method == FILE_CURRENT ? (int64_t)source->position : 0;
    if (distance < 0 && -distance > base) return -1;
    source->position = (uint64_t)(base + distance);
    return (int64_t)source->position;
}

uint64_t SourceSize(const ByteSource* source) {
    return source->file != NO_FILE ? GetFileSize64(source->file) : source->size;
}

Status SourceRead(ByteSource* source, void* buffer, uint32_t size, uint32_t* got) {
    if (source->file != NO_FILE) return ReadBytes(source->file, buffer, size, got);
    uint64_t left = source->position < source->size ? source->size - source->position : 0;
    uint32_t want = left < size ? (uint32_t)left : size;
    *got = 0;
    if (source->calls) {
        const SourceCalls* calls = source->calls;
        if (want > 0) {
            Status read = calls->read_at(calls->context, source->position, buffer, want, got);
            if (!read.ok()) return read;
        }
        // More than asked for cannot be right.
        if (*got > want) return Failed(CAUSE_READ_FAILED);
    } else {
        *got = want;
        memcpy(buffer, source->data + source->position, *got);
    }
    source->position += *got;
    return STATUS_OK;
}
