// Choosing entries by the patterns of the command line (qv_entry_matches),
// and telling which patterns chose nothing.
#pragma once

#include <string>
#include <vector>

#include <quorvane.h>

class EntryPatterns {
public:
    // `patterns` choose entries (none: every entry), `excludes` leave entries
    // out again.
    explicit EntryPatterns(const std::vector<std::string>& patterns,
                           const std::vector<std::string>& excludes = {});

    bool Empty() const { return patterns_.empty() && excludes_.empty(); }
    // True when no exclude names the entry or a folder that holds it, and,
    // when there are patterns, one does. Counts which patterns matched.
    bool Choose(const qv_entry& entry);
    // The patterns that matched no entry.
    std::vector<std::string> Unmatched() const;

private:
    std::vector<std::string> patterns_, excludes_;
    std::vector<bool> matched_;
};

// A qv_extract_options select callback over an EntryPatterns.
int ChooseEntry(void* patterns, const qv_entry* entry);
