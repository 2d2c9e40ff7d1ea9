// POSIX side of the portable layer.
#include "platform/platform.h"

#include <errno.h>
#include <stdlib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

uint32_t IsWin9x = 0;
int32_t FailAllocationAfter = 0;

int64_t SetFilePointer64(FileHandle file, int64_t distance, uint32_t method) {
    off_t where = lseek(file, (off_t)distance, method == FILE_CURRENT ? SEEK_CUR : SEEK_SET);
    return where < 0 ? -1 : (int64_t)where;
}

uint64_t GetFileSize64(FileHandle file) {
    struct stat info;
    if (fstat(file, &info) != 0) return ~(uint64_t)0;
    return (uint64_t)info.st_size;
}

bool ReadBytes(FileHandle file, void* buffer, uint32_t size, uint32_t* bytes_read) {
    // Like ReadFile on a disk file: keep reading until the request is met or the file ends.
    uint32_t done = 0;
    while (done < size) {
        ssize_t got = read(file, (char*)buffer + done, size - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            *bytes_read = done;
            return false;
        }
        if (got == 0) break;
        done += (uint32_t)got;
    }
    *bytes_read = done;
    return true;
}

bool WriteBytes(FileHandle file, const void* buffer, uint32_t size) {
    uint32_t done = 0;
    while (done < size) {
        ssize_t put = write(file, (const char*)buffer + done, size - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += (uint32_t)put;
    }
    return true;
}

bool TruncateHere(FileHandle file) {
    off_t here = lseek(file, 0, SEEK_CUR);
    return here >= 0 && ftruncate(file, here) == 0;
}

FileHandle OpenForReading(const char* path) { return open(path, O_RDONLY | O_CLOEXEC); }

FileHandle CreateReadWrite(const char* path) {
    return open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

void CloseFile(FileHandle file) {
    if (file != NO_FILE) close(file);
}

// calloc gives zero-filled memory, like committed VirtualAlloc pages, and lets
// the sanitizers watch every buffer of the stages.
void* AllocZeroedMemory(size_t size) {
    if (FailAllocationAfter > 0 && --FailAllocationAfter == 0) return NULL;
    return calloc(1, size);
}

void FreeZeroedMemory(void* memory) { free(memory); }
