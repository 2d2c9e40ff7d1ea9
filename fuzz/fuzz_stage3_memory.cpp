// libFuzzer entry point; the checks live in harness.cpp.
#include "fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzStage3Memory(data, size);
    return 0;
}
