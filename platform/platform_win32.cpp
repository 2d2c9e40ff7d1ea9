// Win32 side of the portable layer.
#include "platform/platform.h"

uint32_t IsWin9x = 0;
// Set only by tests (tests/test_hooks.h).
int32_t FailAllocationAfter = 0;

int64_t SetFilePointer64(FileHandle file, int64_t distance, uint32_t method) {
    // The 9x line takes no high half: only the low 32 bits of a distance count there.
    LONG high = IsWin9x ? 0 : (LONG)(uint32_t)((uint64_t)distance >> 32);
    DWORD low = SetFilePointer(file, (LONG)(uint32_t)distance, &high, method);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return -1;
    return (int64_t)(((uint64_t)(uint32_t)high << 32) | low);
}

uint64_t GetFileSize64(FileHandle file) {
    DWORD high = 0;
    DWORD low = GetFileSize(file, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return ~(uint64_t)0;
    return ((uint64_t)high << 32) | low;
}

Status ReadBytes(FileHandle file, void* buffer, uint32_t size, uint32_t* bytes_read) {
    DWORD done = 0;
    if (!ReadFile(file, buffer, size, &done, NULL)) {
        *bytes_read = 0;
        return Failed(CAUSE_READ_FAILED, GetLastError());
    }
    *bytes_read = done;
    return STATUS_OK;
}

Status WriteBytes(FileHandle file, const void* buffer, uint32_t size) {
    DWORD done = 0;
    if (!WriteFile(file, buffer, size, &done, NULL))
        return Failed(CAUSE_WRITE_FAILED, GetLastError());
    // Fewer bytes taken without an error: the disk has no room left.
    if (done != size) return Failed(CAUSE_WRITE_FAILED, ERROR_DISK_FULL);
    return STATUS_OK;
}

uint32_t LastFileError() { return GetLastError(); }

void ClearFileError() { SetLastError(0); }

Status TruncateHere(FileHandle file) {
    if (!SetEndOfFile(file)) return Failed(CAUSE_WRITE_FAILED, GetLastError());
    return STATUS_OK;
}

Status OpenForReading(const char* path, FileHandle* file) {
    *file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    return *file != INVALID_HANDLE_VALUE ? STATUS_OK : Failed(CAUSE_OPEN_FAILED, GetLastError());
}

FileHandle CreateReadWrite(const char* path) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
}

void CloseFile(FileHandle file) {
    if (file != NO_FILE) CloseHandle(file);
}

bool PathExists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

Status CreateWorkFile(const char* path, FileHandle* file) {
    *file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_NEW,
                        FILE_FLAG_DELETE_ON_CLOSE, NULL);
    if (*file == INVALID_HANDLE_VALUE) return Failed(CAUSE_WRITE_FAILED, GetLastError());
    return STATUS_OK;
}

void GetTemporaryFolder(char folder[TEMP_FOLDER_ROOM]) {
    // Zero-filled so that a path the call cannot deliver reads as empty.
    char buffer[MAX_PATH + 1] = {0};
    GetTempPathA(MAX_PATH, buffer);
    buffer[MAX_PATH] = 0;
    lstrcpyA(folder, buffer);
}

const char PATH_SEPARATOR = '\\';

bool PathEndsInSeparator(const char* path, size_t length) {
    if (length == 0 || (uint8_t)path[length - 1] != 0x5C) return false;
    // The system steps back over whole characters of the ANSI code page.
    return CharPrevA(path, path + length) == path + length - 1;
}

bool SystemRefusesName(const char* path) {
    HANDLE trial = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, CREATE_NEW,
                               FILE_FLAG_DELETE_ON_CLOSE, NULL);
    if (trial == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_INVALID_NAME;
    CloseHandle(trial);  // deletes it
    return false;
}

void* AllocZeroedMemory(size_t size) {
    if (FailAllocationAfter > 0 && --FailAllocationAfter == 0) return NULL;
    // Committed pages from VirtualAlloc arrive zero-filled.
    return VirtualAlloc(NULL, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void FreeZeroedMemory(void* memory) {
    if (memory) VirtualFree(memory, 0, MEM_RELEASE);
}

void* AllocHeapMemory(size_t size) {
    if (FailAllocationAfter > 0 && --FailAllocationAfter == 0) return NULL;
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size);
}

void FreeHeapMemory(void* memory) {
    if (memory) HeapFree(GetProcessHeap(), 0, memory);
}
