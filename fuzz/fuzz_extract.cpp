// libFuzzer entry point; the checks live in extract_harness.cpp.
#include "fuzz/extract_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzExtract(data, size);
    return 0;
}
