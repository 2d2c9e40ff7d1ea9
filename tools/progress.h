// The progress line on stderr, drawn only when stderr is a terminal: percent,
// bytes, rate and time left for the whole operation, at most ten times a
// second, and the name at hand; the line fits the terminal's width, and a
// long name loses its middle.
#pragma once

#include <stdint.h>

#include <string>

#include <quorvane.h>

class Progress {
public:
    // `enabled` false draws nothing (quiet runs).
    explicit Progress(bool enabled);
    ~Progress();
    // `done` bytes of `total` are done; `name` is at hand.
    void Show(const std::string& name, uint64_t done, uint64_t total);
    // Clears the line before a message is printed.
    void Clear();

private:
    void Draw(const std::string& name, uint64_t done, uint64_t total);
    bool enabled_;
    double started_;
    double drawn_at_ = -1;
    bool drawn_ = false;
    int drawn_width_ = 0;  // columns of the longest line drawn since the last clear
};

// A qv_progress_fn: shows the progress of the library's work, offset by
// `done_before` bytes of `total` (0: the library's total), and cancels once
// an interrupt arrived.
struct ProgressSink {
    Progress* progress;
    uint64_t done_before;
    uint64_t total;
};
int ShowProgress(void* sink, const qv_progress* state);
