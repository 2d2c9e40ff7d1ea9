// Decoding one stored entry for list, test and extract.
#pragma once

#include <stdint.h>

#include <string>

#include "codec/decode_result.h"
#include "decoder/decode_chain.h"
#include "platform/platform.h"

// Decodes the entry's stored bytes at the archive's current position into
// `target` (rewound and truncated), which then holds exactly `originalSize`
// bytes. The archive is left right behind the stored bytes. On anything but
// DECODE_OK, *why says what went wrong.
DecodeResult DecodeEntry(FileHandle archive, const StoredEntry& entry, FileHandle target,
                         MessagePump pump, std::string* why);
