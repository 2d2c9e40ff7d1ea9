// Choosing entries by name: names and patterns are compared as paths of this
// system (UTF-8, or the ANSI code page on Windows), with '/' and '\' alike.
// '*' stands for any run of characters, '/' included; '?' for one character.
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
    std::vector<std::string> given_, patterns_;
    std::vector<bool> matched_;
};

// A qv_extract_options select callback over an EntryPatterns.
int ChooseEntry(void* patterns, const qv_entry* entry);

// True when `text` matches `pattern` ('*' any run, '?' one character).
bool WildcardMatch(const std::string& pattern, const std::string& text);
