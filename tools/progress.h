// The progress line on stderr, drawn only when stderr is a terminal.
#pragma once

#include <stdint.h>

#include <string>

#include "platform/platform.h"

class Progress {
public:
    explicit Progress(uint64_t total_bytes);
    ~Progress();
    // A new entry begins; `bytes` of the total belong to it.
    void Begin(const std::string& name, uint64_t bytes);
    // The current entry is done.
    void End();
    // Clears the line before a message is printed.
    void Clear();
    // `bytes` more of the current entry are done; redraws now and then.
    void Advance(uint64_t bytes);

private:
    void Draw();
    bool enabled_;
    uint64_t total_, done_, current_;
    uint64_t current_done_ = 0;  // of the current entry
    double drawn_at_ = 0;
    std::string name_;
    double started_;
    bool drawn_ = false;
    int drawn_width_ = 0;  // bytes of the longest line drawn since the last clear
};
