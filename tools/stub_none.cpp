// Built when no stub was given to the build: create then needs --stub or
// --payload-only.
#include "tools/stub.h"

const uint8_t* EmbeddedStub() { return nullptr; }
size_t EmbeddedStubSize() { return 0; }
