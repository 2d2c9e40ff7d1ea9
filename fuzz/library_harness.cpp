#include "fuzz/library_harness.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include <quorvane.h>

namespace {

void Check(bool condition, const char* what) {
    if (condition) return;
    fprintf(stderr, "library harness: broken invariant: %s\n", what);
    abort();
}

// Decoded bytes, up to a bound that keeps one input fast: an entry may
// announce up to 4 GiB, and long runs reach that from a few stored bytes.
const size_t DECODE_LIMIT = 4 << 20;

int Collect(void* context, const void* data, size_t size) {
    std::vector<uint8_t>* bytes = (std::vector<uint8_t>*)context;
    if (bytes->size() + size > DECODE_LIMIT) return 1;
    bytes->insert(bytes->end(), (const uint8_t*)data, (const uint8_t*)data + size);
    return 0;
}

}  // namespace

void FuzzLibrary(const uint8_t* data, size_t size) {
    qv_archive* archive = nullptr;
    qv_error error;
    int code = qv_open_memory(data, size, &archive, &error);
    Check(code == QV_OK || code == QV_E_REFUSED, "opening answers OK or refused");
    if (code != QV_OK) {
        Check(archive == nullptr && error.code == code, "a refusal leaves no archive");
        // A broken payload is called damaged or unsafe; a file of another
        // format is named for what it is.
        Check(strstr(error.message, "damaged or unsafe") != nullptr ||
                  strstr(error.message, "not a self-extracting archive") != nullptr,
              "a refusal says why");
        return;
    }
    Check(qv_payload_start(archive) <= size, "the payload starts inside the input");
    uint64_t stored = 0;
    for (size_t i = 0; i < qv_entry_count(archive); i++) {
        qv_entry entry;
        entry.struct_size = sizeof entry;
        Check(qv_entry_at(archive, i, &entry) == QV_OK, "every entry is described");
        Check(entry.name_length > 0 && strlen(entry.name) <= entry.name_length,
              "a name has its stored length");
        Check(entry.kind == QV_FILE || entry.stored_size == 0, "a folder stores nothing");
        stored += entry.stored_size;
        std::vector<uint8_t> bytes;
        code = qv_decode(archive, i, Collect, &bytes, nullptr, nullptr, &error);
        Check(code == QV_OK || code == QV_E_DAMAGED || code == QV_E_WRITE || code == QV_E_NO_MEMORY,
              "decoding answers a verdict");
        Check(bytes.size() <= entry.original_size, "no entry decodes past its size");
        if (code != QV_OK) continue;
        Check(bytes.size() == (entry.kind == QV_FILE ? entry.original_size : 0),
              "a sound entry decodes to its size");
        qv_entry decoded;
        decoded.struct_size = sizeof decoded;
        Check(qv_entry_at(archive, i, &decoded) == QV_OK && decoded.narrow_interval >= 0 &&
                  (decoded.narrow_interval == 1) == (decoded.narrow_interval_steps > 0),
              "a decoded entry tells whether it needed the narrow-interval rule");
        std::vector<uint8_t> again(bytes.size());
        Check(qv_decode_to_buffer(archive, i, again.data(), again.size(), nullptr, nullptr,
                                  &error) == QV_OK &&
                  again == bytes,
              "decoding into a buffer gives the same bytes");
    }
    Check(stored <= size, "the stored bytes lie inside the input");
    qv_close(archive);
}
