// What a decode stage, or the decoding of a whole entry, comes to: a cause of
// the list every layer shares (platform/status.h), under the names the stages
// use. The causes stay apart so that a full disk is never reported as a
// damaged archive.
#pragma once

#include "platform/status.h"

typedef Cause DecodeResult;
constexpr Cause DECODE_OK = CAUSE_OK;
constexpr Cause DECODE_DAMAGED = CAUSE_DAMAGED;
constexpr Cause DECODE_NO_MEMORY = CAUSE_NO_MEMORY;
constexpr Cause DECODE_READ_FAILED = CAUSE_READ_FAILED;
constexpr Cause DECODE_WRITE_FAILED = CAUSE_WRITE_FAILED;
