// libFuzzer entry point; the checks live in library_harness.cpp.
#include "fuzz/library_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzLibrary(data, size);
    return 0;
}
