// Driver of the library target: a whole input is an archive in memory, opened
// through libquorvane's C API, every entry described and decoded. A broken
// invariant aborts with a message.
#pragma once

#include <stddef.h>
#include <stdint.h>

void FuzzLibrary(const uint8_t* data, size_t size);
