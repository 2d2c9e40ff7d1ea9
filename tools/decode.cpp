#include "tools/decode.h"

#include "tools/files.h"

namespace {

struct WorkFiles {
    FileHandle first = CreateAnonymousFile();
    FileHandle second = CreateAnonymousFile();
    ~WorkFiles() {
        CloseFile(first);
        CloseFile(second);
    }
};

}  // namespace

DecodeResult DecodeEntry(FileHandle archive, const StoredEntry& entry, FileHandle target,
                         MessagePump pump, std::string* why) {
    WorkFiles work;
    if (work.first == NO_FILE || work.second == NO_FILE) {
        SetFilePointer64(archive, entry.storedSize, FILE_CURRENT);
        *why = "cannot create work files in " + TemporaryFolder();
        return DECODE_WRITE_FAILED;
    }
    DecodeResult result = CopyIntoWorkFile(archive, work.first, entry.storedSize);
    if (result == DECODE_OK) result = DecodeWorkFiles(work.first, work.second, entry, pump);
    if (result == DECODE_OK) result = ExpandWorkFile(work.second, target, pump);
    if (result == DECODE_OK && GetFileSize64(target) != entry.originalSize) {
        *why = "the decoded file has the wrong size";
        return DECODE_WRITE_FAILED;
    }
    switch (result) {
        case DECODE_OK:
            break;
        case DECODE_DAMAGED:
            *why = "the stored data does not decode";
            break;
        case DECODE_NO_MEMORY:
            *why = "out of memory";
            break;
        case DECODE_READ_FAILED:
            *why = "reading the archive or a work file in " + TemporaryFolder() + " failed";
            break;
        case DECODE_WRITE_FAILED:
            *why = "writing a work file in " + TemporaryFolder() + " or the output failed";
            break;
    }
    return result;
}
