// The portable layer: the few file, memory and message-pump services that the
// codec and the payload reader need. Windows builds call Win32 directly; other
// builds call POSIX. The choice is made at compile time, with plain functions.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
typedef HANDLE FileHandle;
#define NO_FILE INVALID_HANDLE_VALUE
#else
typedef int FileHandle;
#define NO_FILE (-1)
#ifndef FILE_BEGIN
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#endif
#endif

// Set once at start-up: 1 on the old 9x line (4.00 and 4.10), where files are
// positioned with 32-bit distances only. Always 0 outside Windows.
extern uint32_t IsWin9x;

// Moves the file position by a signed 64-bit distance from FILE_BEGIN or
// FILE_CURRENT; answers the new position, or -1 on failure. A distance of 0
// from FILE_CURRENT asks for the current position.
int64_t SetFilePointer64(FileHandle file, int64_t distance, uint32_t method);

// Size of an open file; all 64 bits set on failure.
uint64_t GetFileSize64(FileHandle file);

// Reads up to `size` bytes at the current position. *bytes_read receives the
// count delivered (0 at the end of the file). Answers false when the read failed.
bool ReadBytes(FileHandle file, void* buffer, uint32_t size, uint32_t* bytes_read);

// Writes `size` bytes at the current position; true only when all were written.
bool WriteBytes(FileHandle file, const void* buffer, uint32_t size);

// Cuts the file at its current position.
bool TruncateHere(FileHandle file);

// Opens an existing file for reading; NO_FILE on failure.
FileHandle OpenForReading(const char* path);

// Creates (or empties) a file for reading and writing; NO_FILE on failure.
FileHandle CreateReadWrite(const char* path);

void CloseFile(FileHandle file);

// Committed, zero-filled memory of `size` bytes, or NULL. Release with
// FreeZeroedMemory.
void* AllocZeroedMemory(size_t size);
void FreeZeroedMemory(void* memory);

// Test hook: when positive, the n-th allocation from now fails (counting 1, 2, ...).
// 0 turns it off. Lets tests prove that every stage survives a failed allocation.
extern int32_t FailAllocationAfter;

// The message-pump hook that every decode stage calls at the points where the
// window must be kept alive. A null function does nothing.
typedef void (*PumpFunction)(void* context);
struct MessagePump {
    PumpFunction function;
    void* context;
};

inline void CallPump(const MessagePump& pump) {
    if (pump.function) pump.function(pump.context);
}

// A pump that does nothing: for the command-line tool and tests.
const MessagePump NO_PUMP = {nullptr, nullptr};
