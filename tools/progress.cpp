#include "tools/progress.h"

#include <stdio.h>
#include <time.h>
#include <unistd.h>

namespace {

double Now() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

}  // namespace

Progress::Progress(uint64_t total_bytes)
    : enabled_(isatty(STDERR_FILENO) != 0),
      total_(total_bytes),
      done_(0),
      current_(0),
      started_(Now()) {}

Progress::~Progress() { Clear(); }

void Progress::Begin(const std::string& name, uint64_t bytes) {
    name_ = name;
    current_ = bytes;
    Draw();
}

void Progress::End() {
    done_ += current_;
    current_ = 0;
    Draw();
}

void Progress::Clear() {
    if (enabled_ && drawn_) {
        fputs("\r\033[K", stderr);
        fflush(stderr);
        drawn_ = false;
    }
}

MessagePump Progress::Pump() {
    MessagePump pump = {enabled_ ? &Progress::Tick : nullptr, this};
    return pump;
}

void Progress::Tick(void* self) {
    Progress* progress = static_cast<Progress*>(self);
    if ((++progress->ticks_ & 0xFFFFF) == 0) progress->Draw();
}

void Progress::Draw() {
    if (!enabled_) return;
    double seconds = Now() - started_;
    double rate = seconds > 0 ? (double)done_ / seconds / 1048576.0 : 0;
    std::string shown = name_;
    if (shown.size() > 40) {
        size_t from = shown.size() - 37;
        while (from < shown.size() && ((unsigned char)shown[from] & 0xC0) == 0x80) from++;
        shown = "..." + shown.substr(from);
    }
    fprintf(stderr, "\r\033[K%s  %.1f / %.1f MiB  %.1f MiB/s", shown.c_str(),
            (double)done_ / 1048576.0, (double)total_ / 1048576.0, rate);
    fflush(stderr);
    drawn_ = true;
}
