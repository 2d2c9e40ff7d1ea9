// The extractor stub built into the tool, when the build was given one.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The stub's bytes; EmbeddedStubSize() is 0 when none was built in.
const uint8_t* EmbeddedStub();
size_t EmbeddedStubSize();
