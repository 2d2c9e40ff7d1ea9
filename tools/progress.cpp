#include "tools/progress.h"

#include <stdio.h>

#include "tools/files.h"
#include "tools/text.h"

Progress::Progress(uint64_t total_bytes)
    : enabled_(ErrorIsInteractive()),
      total_(total_bytes),
      done_(0),
      current_(0),
      started_(MonotonicSeconds()) {}

Progress::~Progress() { Clear(); }

void Progress::Begin(const std::string& name, uint64_t bytes) {
    name_ = name;
    current_ = bytes;
    current_done_ = 0;
    Draw();
}

void Progress::End() {
    done_ += current_;
    current_ = 0;
    current_done_ = 0;
    Draw();
}

void Progress::Advance(uint64_t bytes) {
    current_done_ += bytes;
    // At most ten lines a second: a terminal that redraws more only flickers.
    if (enabled_ && MonotonicSeconds() - drawn_at_ >= 0.1) Draw();
}

void Progress::Clear() {
    if (enabled_ && drawn_) {
        // Blanks over the old line: no terminal control sequences, which not
        // every console understands.
        fprintf(stderr, "\r%*s\r", drawn_width_, "");
        fflush(stderr);
        drawn_ = false;
        drawn_width_ = 0;
    }
}

void Progress::Draw() {
    if (!enabled_) return;
    drawn_at_ = MonotonicSeconds();
    double seconds = drawn_at_ - started_;
    uint64_t done = done_ + current_done_;
    double rate = seconds > 0 ? (double)done / seconds / 1048576.0 : 0;
    char figures[96];
    snprintf(figures, sizeof figures, "  %.1f / %.1f MiB  %.1f MiB/s", (double)done / 1048576.0,
             (double)total_ / 1048576.0, rate);
    std::string line = ShortenedName(name_, 40) + figures;
    int width = (int)line.size();
    // Pads over what a longer previous line left.
    fprintf(stderr, "\r%s%*s", line.c_str(), drawn_width_ > width ? drawn_width_ - width : 0, "");
    fflush(stderr);
    if (width > drawn_width_) drawn_width_ = width;
    drawn_ = true;
}
