// What every file-level stage does first.
#pragma once

#include "codec/decode_result.h"
#include "platform/platform.h"

// Puts the input at its start and empties the output, so a work file can be
// reused as a later stage's output without being emptied by the caller.
inline DecodeResult RewindStageFiles(FileHandle in, FileHandle out) {
    if (SetFilePointer64(in, 0, FILE_BEGIN) != 0) return DECODE_READ_FAILED;
    if (SetFilePointer64(out, 0, FILE_BEGIN) != 0 || !TruncateHere(out)) return DECODE_WRITE_FAILED;
    return DECODE_OK;
}

// The room a stage's buffer needs for the input file `in`: `largest`, or less
// when the whole file is smaller (at least one byte). A buffer's size decides
// only how a stage reads, never what it decodes, and a small entry should not
// take megabytes.
inline uint32_t BufferFor(FileHandle in, uint32_t largest) {
    uint64_t size = GetFileSize64(in);  // all bits set when unknown: the largest
    if (size >= largest) return largest;
    return size > 0 ? (uint32_t)size : 1;
}
