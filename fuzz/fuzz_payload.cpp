// libFuzzer entry point; the checks live in payload_harness.cpp.
#include "fuzz/payload_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzPayload(data, size);
    return 0;
}
