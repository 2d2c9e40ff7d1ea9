// Built when the library is built without a stub: a writer given none then
// takes the installed one.
#include "lib/default_stub.h"

const uint8_t* BuiltInStub() { return nullptr; }
size_t BuiltInStubSize() { return 0; }
