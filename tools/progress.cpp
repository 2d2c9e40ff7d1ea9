#include "tools/progress.h"

#include <stdio.h>

#include "tools/terminal.h"

Progress::Progress(bool enabled)
    : enabled_(enabled && ErrorIsInteractive()), started_(MonotonicSeconds()) {}

Progress::~Progress() { Clear(); }

void Progress::Show(const std::string& name, uint64_t done, uint64_t total) {
    if (!enabled_) return;
    // At most ten lines a second: a terminal that redraws more only flickers.
    double now = MonotonicSeconds();
    if (drawn_at_ >= 0 && now - drawn_at_ < 0.1) return;
    drawn_at_ = now;
    Draw(name, done, total);
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

namespace {

std::string Duration(double seconds) {
    long whole = (long)(seconds + 0.5);
    char text[32];
    if (whole >= 3600) {
        snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
    } else {
        snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    }
    return text;
}

}  // namespace

void Progress::Draw(const std::string& name, uint64_t done, uint64_t total) {
    double seconds = drawn_at_ - started_;
    double rate = seconds > 0 ? (double)done / seconds : 0;
    int percent = total > 0 ? (int)(100.0 * (double)done / (double)total) : 100;
    std::string left = rate > 0 && done < total ? Duration((double)(total - done) / rate) : "-";
    char figures[128];
    snprintf(figures, sizeof figures, "%3d%%  %.1f / %.1f MiB  %.1f MiB/s  ETA %s  ", percent,
             (double)done / 1048576.0, (double)total / 1048576.0, rate / 1048576.0, left.c_str());
    std::string line = figures + ShortenedName(name, 30);
    int width = (int)line.size();
    // Pads over what a longer previous line left.
    fprintf(stderr, "\r%s%*s", line.c_str(), drawn_width_ > width ? drawn_width_ - width : 0, "");
    fflush(stderr);
    if (width > drawn_width_) drawn_width_ = width;
    drawn_ = true;
}

int ShowProgress(void* context, const qv_progress* state) {
    ProgressSink* sink = (ProgressSink*)context;
    if (sink->progress)
        sink->progress->Show(state->name, sink->done_before + state->done,
                             sink->total ? sink->total : state->total);
    return InterruptExitCode() != 0;
}
