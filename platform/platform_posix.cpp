// POSIX side of the portable layer.
#include "platform/platform.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

uint32_t IsWin9x = 0;
// Set only by tests (tests/test_hooks.h).
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

Status ReadBytes(FileHandle file, void* buffer, uint32_t size, uint32_t* bytes_read) {
    // Like ReadFile on a disk file: keep reading until the request is met or the file ends.
    uint32_t done = 0;
    while (done < size) {
        ssize_t got = read(file, (char*)buffer + done, size - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            *bytes_read = done;
            return Failed(CAUSE_READ_FAILED, (uint32_t)errno);
        }
        if (got == 0) break;
        done += (uint32_t)got;
    }
    *bytes_read = done;
    return STATUS_OK;
}

Status WriteBytes(FileHandle file, const void* buffer, uint32_t size) {
    uint32_t done = 0;
    while (done < size) {
        ssize_t put = write(file, (const char*)buffer + done, size - done);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return Failed(CAUSE_WRITE_FAILED, (uint32_t)errno);
        // Nothing taken and no error: the device has no room left.
        if (put == 0) return Failed(CAUSE_WRITE_FAILED, ENOSPC);
        done += (uint32_t)put;
    }
    return STATUS_OK;
}

uint32_t LastFileError() { return (uint32_t)errno; }

void ClearFileError() { errno = 0; }

Status TruncateHere(FileHandle file) {
    off_t here = lseek(file, 0, SEEK_CUR);
    if (here < 0 || ftruncate(file, here) != 0) return Failed(CAUSE_WRITE_FAILED, (uint32_t)errno);
    return STATUS_OK;
}

Status OpenForReading(const char* path, FileHandle* file) {
    *file = open(path, O_RDONLY | O_CLOEXEC);
    return *file >= 0 ? STATUS_OK : Failed(CAUSE_OPEN_FAILED, (uint32_t)errno);
}

FileHandle CreateReadWrite(const char* path) {
    return open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

void CloseFile(FileHandle file) {
    if (file != NO_FILE) close(file);
}

bool PathExists(const char* path) {
    struct stat info;
    return lstat(path, &info) == 0;
}

Status CreateWorkFile(const char* path, FileHandle* file) {
    *file = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (*file < 0) return Failed(CAUSE_WRITE_FAILED, (uint32_t)errno);
    // An open descriptor keeps the file's contents; the name goes at once.
    unlink(path);
    return STATUS_OK;
}

void GetTemporaryFolder(char folder[TEMP_FOLDER_ROOM]) {
    const char* from_environment = getenv("TMPDIR");
    if (!from_environment || !*from_environment || strlen(from_environment) >= TEMP_FOLDER_ROOM)
        from_environment = "/tmp";
    strcpy(folder, from_environment);
}

const char PATH_SEPARATOR = '/';

bool PathEndsInSeparator(const char* path, size_t length) {
    return length > 0 && path[length - 1] == '/';
}

bool SystemRefusesName(const char* path) {
    int trial = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (trial < 0) return errno == EINVAL || errno == EILSEQ;
    close(trial);
    unlink(path);
    return false;
}

// calloc gives zero-filled memory, like committed VirtualAlloc pages, and lets
// the sanitizers watch every buffer of the stages.
void* AllocZeroedMemory(size_t size) {
    if (FailAllocationAfter > 0 && --FailAllocationAfter == 0) return NULL;
    return calloc(1, size);
}

void FreeZeroedMemory(void* memory) { free(memory); }

void* AllocHeapMemory(size_t size) { return AllocZeroedMemory(size); }

void FreeHeapMemory(void* memory) { free(memory); }
