// The writer's compression between two open files.
#pragma once

#include <stdint.h>

#include "codec/compress.h"
#include "platform/platform.h"

// Reads `original_size` bytes of `in` from its current position and writes
// their stored form to `out` from its current position, leaving `out` right
// behind it and cut there (compress_streams over the two files; `out` must be
// open for reading too). A failed read or write keeps the system's number
// in the result's status.
CompressResult CompressFile(FileHandle in, uint32_t original_size, FileHandle out,
                            const CompressOptions& options);
