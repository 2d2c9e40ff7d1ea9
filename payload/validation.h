// The one walk over the whole payload before anything is written.
#pragma once

#include <stdint.h>

#include "payload/byte_source.h"
#include "platform/platform.h"

// 1 when every record of the payload that starts at `payload_start` is sound,
// 0 when any is broken (structure, sizes, or a name the file system or the
// destination rules refuse). Moves the file position.
int ZevCheckArchive(FileHandle executable, uint32_t payload_start);

// The same walk over any source.
int CheckPayload(ByteSource* source, uint32_t payload_start);
