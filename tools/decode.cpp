#include "tools/decode.h"

#include <thread>

#include "decoder/memory_decoder.h"

namespace {

struct Output {
    FileHandle target;
    Progress* progress;
    bool write_failed;
};

bool TakeDecoded(void* context, const uint8_t* data, uint32_t size) {
    Output* output = (Output*)context;
    if (output->target != NO_FILE && !WriteBytes(output->target, data, size)) {
        output->write_failed = true;
        return false;
    }
    output->progress->Advance(size);
    return true;
}

}  // namespace

DecodeResult DecodeEntry(FileHandle archive, const StoredEntry& entry, FileHandle target,
                         Progress* progress, std::string* why, uint32_t* widened_steps) {
    // Stage 1 on a core of its own when there is a second one.
    static const bool two_threads = std::thread::hardware_concurrency() > 1;
    Output output = {target, progress, false};
    DecodeResult result =
        DecodeStoredInMemory(archive, entry, TakeDecoded, &output, two_threads, widened_steps);
    switch (result) {
        case DECODE_OK:
            break;
        case DECODE_DAMAGED:
            *why = "the stored data does not decode to the entry";
            break;
        case DECODE_NO_MEMORY:
            *why = "out of memory";
            break;
        case DECODE_READ_FAILED:
            *why = "reading the archive failed";
            break;
        case DECODE_WRITE_FAILED:
            *why = "writing the decoded data failed";
            break;
    }
    return result;
}
