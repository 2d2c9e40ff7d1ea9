// What a file that people take for a self-extracting archive is instead, told
// from its first bytes, so that a refusal can name it.
#include <string.h>

#include <quorvane.h>

namespace {

struct Signature {
    const char* bytes;
    size_t length;
    const char* kind;
};

// Each format's magic number at the start of its files.
const Signature kSignatures[] = {
    {"PK\x03\x04", 4, "a zip archive"},
    {"PK\x05\x06", 4, "a zip archive"},  // one without entries
    {"\x1F\x8B", 2, "a gzip file"},
    {"\xFD"
     "7zXZ\x00",
     6, "an xz file"},
    {"\x28\xB5\x2F\xFD", 4, "a zstd file"},
    {"BZh", 3, "a bzip2 file"},
    {"7z\xBC\xAF\x27\x1C", 6, "a 7z archive"},
    {"Rar!\x1A\x07", 6, "a rar archive"},
    {"\x7F"
     "ELF",
     4, "an ELF program or library"},
};

}  // namespace

const char* qv_identify(const void* head, size_t size) {
    if (!head) return nullptr;
    for (const Signature& signature : kSignatures) {
        if (size >= signature.length && memcmp(head, signature.bytes, signature.length) == 0)
            return signature.kind;
    }
    return nullptr;
}
