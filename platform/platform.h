// The portable layer: the few file, memory and message-pump services that the
// codec and the payload reader need. Windows builds call Win32 directly; other
// builds call POSIX. The choice is made at compile time, with plain functions.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/status.h"

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

// How the calls below answer. A call that can fail answers a Status: its
// cause, with errno (GetLastError on Windows) taken at the failing system
// call. Questions (PathExists, SystemRefusesName, PathEndsInSeparator) answer
// a bool, which loses no cause. The format's two positioning procedures keep
// their shape: -1, or all bits set, on failure. CreateReadWrite answers
// NO_FILE on failure: only tests and tools for measuring call it.

// Moves the file position by a signed 64-bit distance from FILE_BEGIN or
// FILE_CURRENT; answers the new position, or -1 on failure. A distance of 0
// from FILE_CURRENT asks for the current position.
int64_t SetFilePointer64(FileHandle file, int64_t distance, uint32_t method);

// Size of an open file; all 64 bits set on failure.
uint64_t GetFileSize64(FileHandle file);

// Reads up to `size` bytes at the current position. *bytes_read receives the
// count delivered (0 at the end of the file). CAUSE_READ_FAILED when the read
// failed.
Status ReadBytes(FileHandle file, void* buffer, uint32_t size, uint32_t* bytes_read);

// Writes `size` bytes at the current position; CAUSE_WRITE_FAILED unless all
// were written.
Status WriteBytes(FileHandle file, const void* buffer, uint32_t size);

// Cuts the file at its current position; CAUSE_WRITE_FAILED when it cannot.
Status TruncateHere(FileHandle file);

// Why the last system call of this thread failed: errno, or GetLastError on
// Windows; 0 when none gave a reason since ClearFileError. Only for what
// answers no Status: the two positioning procedures, and calls the library's
// users make in their own functions.
uint32_t LastFileError();
void ClearFileError();

// Opens an existing file for reading; CAUSE_OPEN_FAILED, with *file
// NO_FILE, when it cannot.
Status OpenForReading(const char* path, FileHandle* file);

// True when something of that name exists: a file, a folder or a link.
bool PathExists(const char* path);

// Creates (or empties) a file for reading and writing; NO_FILE on failure.
FileHandle CreateReadWrite(const char* path);

void CloseFile(FileHandle file);

// A work file of the decode chain: read-write, not shared, and gone once it is
// closed (delete-on-close, or unlinked at once where files may be open
// without a name). Only a new file is made: when anything of that name exists,
// even one that appeared a moment ago, it is left alone. CAUSE_WRITE_FAILED,
// with *file NO_FILE, when the file cannot be made.
Status CreateWorkFile(const char* path, FileHandle* file);

// The user's temporary folder as the system reports it (on Windows what
// GetTempPathA writes into a MAX_PATH buffer; elsewhere TMPDIR, else /tmp),
// cut at its first NUL. Callers add a separator by their own rule.
const size_t TEMP_FOLDER_ROOM = 1024;
void GetTemporaryFolder(char folder[TEMP_FOLDER_ROOM]);

// The separator of this system's paths, and whether a path ends in one that is
// a character of its own (on Windows the system steps back over double-byte
// characters, whose trail byte may equal the backslash).
extern const char PATH_SEPARATOR;
bool PathEndsInSeparator(const char* path, size_t length);

// Creates a throw-away file of that name and deletes it at once; true only
// when the system refuses the name itself as invalid. Any other outcome
// (created, exists already, access denied, path too long) answers false.
bool SystemRefusesName(const char* path);

// Committed, zero-filled memory of `size` bytes, or NULL. Release with
// FreeZeroedMemory.
void* AllocZeroedMemory(size_t size);
void FreeZeroedMemory(void* memory);

// Zero-filled memory from the process heap, for short-lived buffers. Release
// with FreeHeapMemory. A test can make any of these allocations fail
// (tests/test_hooks.h).
void* AllocHeapMemory(size_t size);
void FreeHeapMemory(void* memory);

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

// Whether this build may start threads at all: not when made without them
// (QUORVANE_THREADS off, as for WebAssembly); every part then takes its
// one-thread path.
bool ThreadsAvailable();

// Cores the library may keep busy: the system's count, at least 1; always 1
// without threads.
unsigned UsableCores();
