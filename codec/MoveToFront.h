// Stage 2: the move-to-front variant in which a byte seen again moves to the
// second place, and to the front only when seen again right after.
#pragma once

#include <stdint.h>

#include "codec/decode_result.h"
#include "platform/platform.h"

const uint32_t MTF_BUF_SIZE = 0x100000;

// Decodes one chunk of `size` bytes (0..MTF_BUF_SIZE) with a fresh table.
void mtf_decode2(const uint8_t* in, uint8_t* out, uint32_t size);

// Decodes the whole of `in` into `out` in chunks of MTF_BUF_SIZE; both are
// rewound first and `out` is truncated. Calls the pump once per chunk.
// Any input decodes: the result tells only a failed buffer, read or write.
DecodeResult mtf_decode(FileHandle in, FileHandle out, MessagePump pump);
