#include "tools/progress.h"

#include <stdio.h>
#include <string.h>

#include <vector>

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

int Columns(const std::string& text) {
    int columns = 0;
    for (size_t at = 0; at < text.size(); at += CharacterBytes(text, at))
        columns += CharacterColumns(text, at);
    return columns;
}

// The name in at most `columns` columns: its start and its end, with "..."
// between them when the middle had to go.
std::string ShortenedName(const std::string& name, int columns) {
    if (Columns(name) <= columns) return name;
    if (columns < 5) return "";
    int head_room = (columns - 3) / 2, tail_room = columns - 3 - head_room;
    size_t head_end = 0;
    for (int used = 0; head_end < name.size(); head_end += CharacterBytes(name, head_end)) {
        used += CharacterColumns(name, head_end);
        if (used > head_room) break;
    }
    // The tail: the characters from the end that fit, found from the front.
    std::vector<size_t> starts;
    for (size_t at = head_end; at < name.size(); at += CharacterBytes(name, at))
        starts.push_back(at);
    size_t tail_start = name.size();
    int used = 0;
    for (size_t i = starts.size(); i-- > 0;) {
        used += CharacterColumns(name, starts[i]);
        if (used > tail_room) break;
        tail_start = starts[i];
    }
    return name.substr(0, head_end) + "..." + name.substr(tail_start);
}

}  // namespace

void Progress::Draw(const std::string& name, uint64_t done, uint64_t total) {
    double seconds = drawn_at_ - started_;
    double rate = seconds > 0 ? (double)done / seconds : 0;
    int percent = total > 0 ? (int)(100.0 * (double)done / (double)total) : 100;
    std::string left = rate > 0 && done < total ? Duration((double)(total - done) / rate) : "-";
    // One column short of the width: a line that fills the last column
    // wraps on some terminals.
    int room = TerminalColumns() - 1;
    char figures[128];
    snprintf(figures, sizeof figures, "%3d%%  %.1f / %.1f MiB  %.1f MiB/s  ETA %s  ", percent,
             (double)done / 1048576.0, (double)total / 1048576.0, rate / 1048576.0, left.c_str());
    // A narrow terminal gets fewer figures, and the name what is left.
    const int kNameRoom = 16;
    if ((int)strlen(figures) + kNameRoom > room)
        snprintf(figures, sizeof figures, "%3d%%  ETA %s  ", percent, left.c_str());
    if ((int)strlen(figures) > room) snprintf(figures, sizeof figures, "%3d%%", percent);
    std::string line = figures + ShortenedName(name, room - (int)strlen(figures));
    int width = Columns(line);
    if (drawn_width_ > room) drawn_width_ = room;  // the terminal became narrower
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
