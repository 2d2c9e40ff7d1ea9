// Driver of the payload target: a whole input is an executable file, read by
// the payload locator, the validation walk and the record reader through a
// descriptor of a file in memory. A broken invariant aborts with a message.
#pragma once

#include <stddef.h>
#include <stdint.h>

void FuzzPayload(const uint8_t* data, size_t size);
