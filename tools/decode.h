// Decoding one stored entry for list, test and extract.
#pragma once

#include <stdint.h>

#include <string>

#include "codec/decode_result.h"
#include "decoder/decode_chain.h"
#include "platform/platform.h"
#include "tools/progress.h"

// Decodes the entry's stored bytes at the archive's current position, in
// memory, into `target` (written from its current position), or nowhere when
// `target` is NO_FILE. The archive is left right behind the stored bytes. On
// anything but DECODE_OK, *why says what went wrong; what was written then is
// not the entry. When given, *widened_steps receives how many steps of stage 1
// needed the narrow-interval widening.
DecodeResult DecodeEntry(FileHandle archive, const StoredEntry& entry, FileHandle target,
                         Progress* progress, std::string* why, uint32_t* widened_steps = NULL);
