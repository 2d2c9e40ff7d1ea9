#include "tools/patterns.h"

#include "lib/text.h"

namespace {

// The characters of a path of this system, separators made '/'.
std::vector<std::string> Characters(const std::string& text) {
    std::vector<std::string> characters;
    for (size_t at = 0; at < text.size();) {
        size_t length = CharacterLengthAt(text, at);
        std::string character = text.substr(at, length);
        if (character == "\\") character = "/";
        characters.push_back(character);
        at += length;
    }
    return characters;
}

bool Match(const std::vector<std::string>& pattern, const std::vector<std::string>& text) {
    // The classic walk with one point to come back to after the last '*'.
    size_t p = 0, t = 0, star = std::string::npos, star_t = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == "?" || pattern[p] == text[t])) {
            p++;
            t++;
        } else if (p < pattern.size() && pattern[p] == "*") {
            star = p++;
            star_t = t;
        } else if (star != std::string::npos) {
            p = star + 1;
            t = ++star_t;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == "*") p++;
    return p == pattern.size();
}

std::string WithoutTrailingSlashes(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    return trimmed;
}

}  // namespace

bool WildcardMatch(const std::string& pattern, const std::string& text) {
    return Match(Characters(pattern), Characters(text));
}

EntryPatterns::EntryPatterns(const std::vector<std::string>& patterns)
    : given_(patterns), matched_(patterns.size(), false) {
    for (const std::string& pattern : patterns) {
        std::string joined;
        for (const std::string& character : Characters(pattern)) joined += character;
        patterns_.push_back(WithoutTrailingSlashes(joined));
    }
}

bool EntryPatterns::Choose(const qv_entry& entry) {
    std::string path;
    if (!EntryNameToPath(std::string(entry.name, entry.name_length), &path)) return false;
    std::vector<std::string> characters = Characters(path);
    bool chosen = false;
    for (size_t i = 0; i < patterns_.size(); i++) {
        std::vector<std::string> pattern = Characters(patterns_[i]);
        // The entry itself, or a folder above it: every prefix ending before a '/'.
        bool match = Match(pattern, characters);
        for (size_t end = 0; !match && end < characters.size(); end++) {
            if (characters[end] == "/")
                match = Match(pattern, std::vector<std::string>(characters.begin(),
                                                                characters.begin() + end));
        }
        if (match) matched_[i] = chosen = true;
    }
    return chosen;
}

std::vector<std::string> EntryPatterns::Unmatched() const {
    std::vector<std::string> unmatched;
    for (size_t i = 0; i < given_.size(); i++)
        if (!matched_[i]) unmatched.push_back(given_[i]);
    return unmatched;
}

int ChooseEntry(void* patterns, const qv_entry* entry) {
    return ((EntryPatterns*)patterns)->Choose(*entry) ? 1 : 0;
}
