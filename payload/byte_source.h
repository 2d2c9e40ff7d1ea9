// Where payload bytes are read from: an open file, or bytes held in memory.
// Locating the payload, reading records and the validation walk all read
// through this, so an archive in memory needs no file of its own.
#pragma once

#include <stdint.h>

#include "platform/platform.h"

struct ByteSource {
    FileHandle file;      // NO_FILE: the bytes in memory
    const uint8_t* data;  // the bytes in memory
    uint64_t size;        // of the bytes in memory
    uint64_t position;    // in the bytes in memory
};

ByteSource FileSource(FileHandle file);
ByteSource MemorySource(const void* data, uint64_t size);

// As SetFilePointer64, GetFileSize64 and ReadBytes of the platform layer. In
// memory a position may lie past the end; reads there deliver nothing.
int64_t SourceSeek(ByteSource* source, int64_t distance, uint32_t method);
uint64_t SourceSize(const ByteSource* source);
bool SourceRead(ByteSource* source, void* buffer, uint32_t size, uint32_t* got);
