// What every file-level stage does first.
#pragma once

#include "platform/platform.h"

// Puts the input at its start and empties the output, so a work file can be
// reused as a later stage's output without being emptied by the caller.
inline bool RewindStageFiles(FileHandle in, FileHandle out) {
    return SetFilePointer64(in, 0, FILE_BEGIN) == 0 && SetFilePointer64(out, 0, FILE_BEGIN) == 0 &&
           TruncateHere(out);
}
