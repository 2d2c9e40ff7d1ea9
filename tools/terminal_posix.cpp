// POSIX side of the command line's system services.
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include <quorvane.h>

#include "tools/terminal.h"

namespace {

// Lock-free, so that handlers running on two threads at once still tell the
// first interrupt from the second.
std::atomic<int> interrupt_signal(0);

// The first interrupt asks the command to stop and clean up; a second one
// ends the program at once, with the partial output removed.
void OnInterrupt(int signal) {
    if (interrupt_signal.exchange(signal) != 0) {
        qv_remove_partial_output();
        _exit(128 + signal);
    }
}

}  // namespace

bool InputIsInteractive() { return isatty(STDIN_FILENO) != 0; }
bool ErrorIsInteractive() { return isatty(STDERR_FILENO) != 0; }

double MonotonicSeconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

std::string LocalTimeText(uint64_t filetime) {
    time_t seconds = (time_t)qv_filetime_to_unix(filetime, nullptr);
    struct tm parts;
    char text[32];
    if (!localtime_r(&seconds, &parts) ||
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts) == 0) {
        return std::string();
    }
    return text;
}

void CatchInterrupts() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a question waiting on the terminal ends at once.
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

int InterruptExitCode() {
    int signal = interrupt_signal.load();
    return signal ? 128 + signal : 0;
}

void BinaryStandardOutput() {}
void BinaryStandardInput() {}

std::string AbsolutePath(const std::string& path) {
    char here[PATH_MAX];
    if (path.empty() || path[0] == '/' || !getcwd(here, sizeof here)) return path;
    return std::string(here) + "/" + path;
}

bool PathExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

bool ChangeFolder(const std::string& folder, std::string* why) {
    if (chdir(folder.c_str()) == 0) return true;
    *why = strerror(errno);
    return false;
}

size_t FileNameStart(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

size_t CharacterBytes(const std::string& text, size_t at) {
    unsigned char lead = (unsigned char)text[at];
    size_t bytes = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    size_t end = at + 1;
    while (end < text.size() && end < at + bytes && ((unsigned char)text[end] & 0xC0) == 0x80)
        end++;
    return end - at;
}

int CharacterColumns(const std::string& text, size_t at) {
    size_t bytes = CharacterBytes(text, at);
    if (bytes < 3) return 1;
    uint32_t point =
        bytes == 3 ? (text[at] & 0x0F) << 12 | (text[at + 1] & 0x3F) << 6 | (text[at + 2] & 0x3F)
                   : 0x20000;
    // East Asian wide and full-width characters: kana, CJK, Hangul, full-width forms.
    return (point >= 0x1100 && point <= 0x115F) || (point >= 0x2E80 && point <= 0xA4CF) ||
                   (point >= 0xAC00 && point <= 0xD7A3) || (point >= 0xF900 && point <= 0xFAFF) ||
                   (point >= 0xFE30 && point <= 0xFE4F) || (point >= 0xFF00 && point <= 0xFF60) ||
                   (point >= 0xFFE0 && point <= 0xFFE6) || point >= 0x20000
               ? 2
               : 1;
}

namespace {

// Set by SIGWINCH: the width is read again before the next line.
volatile sig_atomic_t terminal_resized = 1;

void OnResize(int) { terminal_resized = 1; }

}  // namespace

int TerminalColumns() {
    static int columns = 80;
    static bool watching = false;
    if (!watching) {
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_handler = OnResize;
        action.sa_flags = SA_RESTART;
        sigaction(SIGWINCH, &action, nullptr);
        watching = true;
    }
    if (terminal_resized) {
        terminal_resized = 0;
        struct winsize size;
        if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) columns = size.ws_col;
    }
    return columns;
}
