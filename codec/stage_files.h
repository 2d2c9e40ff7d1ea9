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
