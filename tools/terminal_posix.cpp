// POSIX side of the command line's system services.
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
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

std::string InstalledStub() {
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return std::string();
    std::string program(self, (size_t)length);
    std::string stub =
        program.substr(0, FileNameStart(program)) + "../share/quorvane/quorvane-sfx.exe";
    return access(stub.c_str(), R_OK) == 0 ? stub : std::string();
}

void BinaryStandardOutput() {}

size_t FileNameStart(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

std::string ShortenedName(const std::string& shown, size_t limit) {
    if (shown.size() <= limit || limit < 4) return shown;
    size_t from = shown.size() - (limit - 3);
    // Not inside a UTF-8 sequence.
    while (from < shown.size() && ((unsigned char)shown[from] & 0xC0) == 0x80) from++;
    return "..." + shown.substr(from);
}
