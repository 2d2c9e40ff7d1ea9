// Choosing entries by the patterns of the command line (qv_entry_matches),
// and telling which patterns chose nothing.
#pragma once

#include <string>
#include <vector>

#include <quorvane.h>

class EntryPatterns {
public:
    explicit EntryPatterns(const std::vector<std::string>& patterns);

    bool Empty() const { return patterns_.empty(); }
    // True when a pattern names the entry or a folder that holds it. Counts
    // which patterns matched.
    bool Choose(const qv_entry& entry);
    // The patterns that matched no entry.
    std::vector<std::string> Unmatched() const;

private:
    std::vector<std::string> patterns_;
    std::vector<bool> matched_;
};

// A qv_extract_options select callback over an EntryPatterns.
int ChooseEntry(void* patterns, const qv_entry* entry);
