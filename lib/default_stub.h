// The extractor stub an archive gets when its writer is given none.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "platform/status.h"

// The stub built into the library; BuiltInStubSize() is 0 when the library
// was built without one.
const uint8_t* BuiltInStub();
size_t BuiltInStubSize();

// share/quorvane/quorvane-sfx.exe of the prefix the library is installed in,
// found from the file the library was loaded from (the shared library, or
// the program it is linked into); CAUSE_NOT_FOUND when there is none.
Status FindInstalledStub(std::string* path);
