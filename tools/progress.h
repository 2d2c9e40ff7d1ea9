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
    // A pump for the decode and encode stages that redraws now and then.
    MessagePump Pump();

private:
    static void Tick(void* self);
    void Draw();
    bool enabled_;
    uint64_t total_, done_, current_;
    uint32_t ticks_ = 0;
    std::string name_;
    double started_;
    bool drawn_ = false;
    int drawn_width_ = 0;  // bytes of the longest line drawn since the last clear
};
