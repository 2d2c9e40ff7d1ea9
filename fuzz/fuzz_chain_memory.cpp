// libFuzzer entry point; the checks live in harness.cpp.
#include "fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzChainMemory(data, size);
    return 0;
}
