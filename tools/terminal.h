// What the command line needs of the system beyond the library: terminals,
// interrupts, local times and paths.
// terminal_posix.cpp and terminal_win32.cpp implement it; the build picks one.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

// True when standard input, or standard error, is a terminal or console.
bool InputIsInteractive();
bool ErrorIsInteractive();

// Seconds from some fixed point, for rates.
double MonotonicSeconds();

// A FILETIME as local "YYYY-MM-DD hh:mm:ss"; empty when it cannot be shown.
std::string LocalTimeText(uint64_t filetime);

// Ctrl-C, termination requests and a closed terminal are caught from here on:
// the first only raises a flag, which the progress callbacks turn into a
// cancel, so that the library removes what it was writing; a second ends the
// program at once.
void CatchInterrupts();

// 0, or the exit code an interrupt asks for (128 + the signal's number).
int InterruptExitCode();


// Standard output takes, and standard input gives, bytes as they are (no
// newline translation).
void BinaryStandardOutput();
void BinaryStandardInput();

// Makes `path` absolute against the current folder; changes the current
// folder (false with the system's reason in *why).
std::string AbsolutePath(const std::string& path);
bool ChangeFolder(const std::string& folder, std::string* why);

// True when something of that name is there.
bool PathExists(const std::string& path);

// Position in `path` where its last component, the file name, begins.
size_t FileNameStart(const std::string& path);

// The character of a shown text (UTF-8, or the ANSI code page on Windows)
// that begins at `at`: its bytes, at least 1, and the terminal columns it
// takes, 1 or 2.
size_t CharacterBytes(const std::string& text, size_t at);
int CharacterColumns(const std::string& text, size_t at);

// Columns of standard error's terminal, 80 when it cannot tell; read again
// after the terminal changed its size.
int TerminalColumns();
