// Where payload bytes are read from: an open file, bytes held in memory, or
// functions that deliver them. Locating the payload, reading records and the
// validation walk all read through this, so an archive in memory needs no
// file of its own.
#pragma once

#include <stdint.h>

#include "platform/platform.h"
#include "platform/status.h"

// Bytes delivered by functions of the library's user.
struct SourceCalls {
    // Up to `size` bytes from `position` on; *got 0 at the end.
    // CAUSE_READ_FAILED, with the system's number if any, when the read failed.
    Status (*read_at)(void* context, uint64_t position, void* buffer, uint32_t size, uint32_t* got);
    uint64_t size;  // of all the bytes
    void* context;
};

struct ByteSource {
    FileHandle file;           // NO_FILE: the bytes in memory or from `calls`
    const uint8_t* data;       // the bytes in memory
    uint64_t size;             // of the bytes in memory or from `calls`
    uint64_t position;         // in the bytes in memory or from `calls`
    const SourceCalls* calls;  // NULL unless the bytes come from functions
};

ByteSource FileSource(FileHandle file);
ByteSource MemorySource(const void* data, uint64_t size);
// `calls` must outlive the source.
ByteSource CallsSource(const SourceCalls* calls);

// As SetFilePointer64, GetFileSize64 and ReadBytes of the platform layer. In
// memory or through calls a position may lie past the end; reads there
// deliver nothing.
int64_t SourceSeek(ByteSource* source, int64_t distance, uint32_t method);
uint64_t SourceSize(const ByteSource* source);
Status SourceRead(ByteSource* source, void* buffer, uint32_t size, uint32_t* got);
