#include "tools/patterns.h"

EntryPatterns::EntryPatterns(const std::vector<std::string>& patterns,
                             const std::vector<std::string>& excludes)
    : patterns_(patterns), excludes_(excludes), matched_(patterns.size(), false) {}

bool EntryPatterns::Choose(const qv_entry& entry) {
    for (const std::string& exclude : excludes_)
        if (qv_entry_matches(&entry, exclude.c_str())) return false;
    if (patterns_.empty()) return true;
    bool chosen = false;
    for (size_t i = 0; i < patterns_.size(); i++) {
        if (qv_entry_matches(&entry, patterns_[i].c_str())) matched_[i] = chosen = true;
    }
    return chosen;
}

std::vector<std::string> EntryPatterns::Unmatched() const {
    std::vector<std::string> unmatched;
    for (size_t i = 0; i < patterns_.size(); i++)
        if (!matched_[i]) unmatched.push_back(patterns_[i]);
    return unmatched;
}

int ChooseEntry(void* patterns, const qv_entry* entry) {
    return ((EntryPatterns*)patterns)->Choose(*entry) ? 1 : 0;
}
