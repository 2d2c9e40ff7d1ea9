#include "tools/decode.h"

#include <stdlib.h>

#include <vector>

#include "codec/012coding.h"
#include "codec/BlockSorting.h"
#include "codec/MoveToFront.h"
#include "codec/RunLength.h"
#include "tools/files.h"

namespace {

const uint32_t COPY_BUFFER_SIZE = 0x100000;

// Copies `size` bytes from the archive into the first work file.
bool CopyStored(FileHandle archive, uint32_t size, FileHandle work) {
    std::vector<uint8_t> buffer(COPY_BUFFER_SIZE);
    while (size > 0) {
        uint32_t piece = size < COPY_BUFFER_SIZE ? size : COPY_BUFFER_SIZE;
        uint32_t got = 0;
        if (!ReadBytes(archive, buffer.data(), piece, &got) || got != piece) return false;
        if (!WriteBytes(work, buffer.data(), piece)) return false;
        size -= piece;
    }
    return true;
}

struct WorkFiles {
    FileHandle first = CreateAnonymousFile();
    FileHandle second = CreateAnonymousFile();
    ~WorkFiles() {
        CloseFile(first);
        CloseFile(second);
    }
};

}  // namespace

DecodeResult DecodeEntry(FileHandle archive, uint32_t stored_size, uint32_t original_size,
                         bool odd_rescale, FileHandle target, MessagePump pump, std::string* why,
                         uint32_t* widened_steps) {
    int64_t stored_at = SetFilePointer64(archive, 0, FILE_CURRENT);
    DecodeResult result = DECODE_OK;
    {
        WorkFiles work;
        if (work.first == NO_FILE || work.second == NO_FILE) {
            *why = "cannot create work files in " + TemporaryFolder();
            result = DECODE_FAILED;
        } else if (!CopyStored(archive, stored_size, work.first)) {
            *why = "cannot read the stored bytes";
            result = DECODE_FAILED;
        } else if (!coding012_decode(work.first, work.second, odd_rescale ? 1 : 0, pump,
                                     widened_steps)) {
            *why = "the stored data does not decode";
            result = DECODE_DAMAGED;
        } else if (!mtf_decode(work.second, work.first, pump)) {
            *why = "reading or writing a work file failed";
            result = DECODE_FAILED;
        } else if (!blocksort_decode(work.first, work.second, pump)) {
            *why = "a block-sorted block is outside the format";
            result = DECODE_DAMAGED;
        } else {
            int64_t expanded = rle_expanded_size(work.second);
            if (expanded < 0) {
                *why = "a run-length block is outside the format";
                result = DECODE_DAMAGED;
            } else if ((uint64_t)expanded != original_size) {
                *why = "the data decodes to " + std::to_string(expanded) + " bytes, not " +
                       std::to_string(original_size);
                result = DECODE_DAMAGED;
            } else if (!rle_decode(work.second, target, pump)) {
                *why = "writing the decoded data failed";
                result = DECODE_FAILED;
            } else if (GetFileSize64(target) != original_size) {
                *why = "the decoded file has the wrong size";
                result = DECODE_FAILED;
            }
        }
    }
    if (stored_at >= 0) SetFilePointer64(archive, stored_at + stored_size, FILE_BEGIN);
    return result;
}
