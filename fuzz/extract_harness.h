// Driver of the extraction target: a whole input is an archive in memory,
// extracted through libquorvane into a scratch folder that holds a link
// pointing out of it. Nothing may land outside the destination, nothing
// through the link, no name may appear that no entry asks for, and no file
// may be left shorter than its entry. A broken invariant aborts with a message.
#pragma once

#include <stddef.h>
#include <stdint.h>

void FuzzExtract(const uint8_t* data, size_t size);
