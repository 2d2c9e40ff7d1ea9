// Windows side of the command line's system services.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include <quorvane.h>

#include "tools/terminal.h"

namespace {

volatile LONG interrupt_code = 0;

bool IsConsole(DWORD which) {
    DWORD mode;
    HANDLE handle = GetStdHandle(which);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

// Runs on a thread of its own. The main thread sees the flag at its next
// progress report, cancels, and ends the program once the partial file is
// gone; a closing console ends the process when this returns, so it waits.
BOOL WINAPI OnInterrupt(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    if (interrupt_code != 0) {
        qv_remove_partial_output();
        ExitProcess((UINT)interrupt_code);
    }
    InterlockedExchange(&interrupt_code, event == CTRL_C_EVENT ? 130 : 143);
    if (event == CTRL_CLOSE_EVENT) Sleep(4000);
    return TRUE;
}

}  // namespace

bool InputIsInteractive() { return IsConsole(STD_INPUT_HANDLE); }
bool ErrorIsInteractive() { return IsConsole(STD_ERROR_HANDLE); }

double MonotonicSeconds() {
    LARGE_INTEGER frequency, now;
    if (!QueryPerformanceFrequency(&frequency) || !QueryPerformanceCounter(&now)) {
        return (double)GetTickCount() / 1000.0;
    }
    return (double)now.QuadPart / (double)frequency.QuadPart;
}

std::string LocalTimeText(uint64_t filetime) {
    FILETIME universal, local;
    universal.dwLowDateTime = (DWORD)filetime;
    universal.dwHighDateTime = (DWORD)(filetime >> 32);
    SYSTEMTIME parts;
    if (!FileTimeToLocalFileTime(&universal, &local) || !FileTimeToSystemTime(&local, &parts)) {
        return std::string();
    }
    char text[32];
    snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", parts.wYear, parts.wMonth,
             parts.wDay, parts.wHour, parts.wMinute, parts.wSecond);
    return text;
}

void CatchInterrupts() { SetConsoleCtrlHandler(OnInterrupt, TRUE); }

int InterruptExitCode() { return (int)interrupt_code; }

void BinaryStandardOutput() {
    fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

void BinaryStandardInput() { _setmode(_fileno(stdin), _O_BINARY); }

std::string AbsolutePath(const std::string& path) {
    char full[MAX_PATH];
    DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    return length > 0 && length < sizeof full ? std::string(full, length) : path;
}

bool PathExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool ChangeFolder(const std::string& folder, std::string* why) {
    if (SetCurrentDirectoryA(folder.c_str())) return true;
    *why = "error " + std::to_string(GetLastError());
    return false;
}

size_t FileNameStart(const std::string& path) {
    // A '\' may be the second byte of a double-byte character.
    size_t start = 0;
    for (size_t i = 0; i < path.size(); i++) {
        if (IsDBCSLeadByte((BYTE)path[i]) && i + 1 < path.size()) {
            i++;
        } else if (path[i] == '\\' || path[i] == '/') {
            start = i + 1;
        }
    }
    // "X:name" names a file in the drive's current folder.
    if (start == 0 && path.size() >= 2 && path[1] == ':') start = 2;
    return start;
}

size_t CharacterBytes(const std::string& text, size_t at) {
    return IsDBCSLeadByte((BYTE)text[at]) && at + 1 < text.size() ? 2 : 1;
}

// A double-byte character of the ANSI code page takes two columns, as wide
// as its bytes.
int CharacterColumns(const std::string& text, size_t at) { return (int)CharacterBytes(text, at); }

// The console is asked each time: it has no resize signal.
int TerminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 80;
    return info.srWindow.Right - info.srWindow.Left + 1;
}
