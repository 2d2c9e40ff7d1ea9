// The C API for entry names: a stored name as a path or a shown name of this
// system, and choosing entries by pattern.
#include <stddef.h>
#include <string.h>

#include <string>
#include <vector>

#include <quorvane.h>

#include "lib/text.h"

namespace {

std::string StoredName(const qv_entry* entry) {
    return std::string(entry->name, entry->name_length);
}

// Hands `text` out as every text of the C API: NUL-terminated, with its
// length, which a caller with too small a buffer learns too (false then:
// nothing else can fail).
bool GiveText(const std::string& text, char* buffer, size_t size, size_t* length) {
    if (length) *length = text.size();
    if (!buffer || size <= text.size()) return false;
    memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}

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

// An entry from qv_entry_at whose caller knows of the fields read here.
bool Described(const qv_entry* entry) {
    return entry && entry->struct_size >= offsetof(qv_entry, kind) + sizeof entry->kind &&
           entry->name;
}

}  // namespace

extern "C" {

int qv_entry_path(const qv_entry* entry, char* buffer, size_t size, size_t* length) {
    if (!Described(entry)) return QV_E_INVALID;
    std::string path;
    if (!EntryNameToPath(StoredName(entry), &path)) return QV_E_UNSAFE_NAME;
    return GiveText(path, buffer, size, length) ? QV_OK : QV_E_BUFFER_TOO_SMALL;
}

int qv_entry_shown_name(const qv_entry* entry, char* buffer, size_t size, size_t* length) {
    if (!Described(entry)) return QV_E_INVALID;
    std::string shown = ListedName(StoredName(entry), entry->kind == QV_FOLDER);
    return GiveText(shown, buffer, size, length) ? QV_OK : QV_E_BUFFER_TOO_SMALL;
}

int qv_entry_matches(const qv_entry* entry, const char* pattern) {
    if (!Described(entry) || !pattern) return 0;
    std::string path;
    if (!EntryNameToPath(StoredName(entry), &path)) return 0;
    std::vector<std::string> wanted = Characters(pattern);
    while (wanted.size() > 1 && wanted.back() == "/") wanted.pop_back();
    std::vector<std::string> characters = Characters(path);
    // The entry itself, or a folder above it: every prefix ending before a '/'.
    if (Match(wanted, characters)) return 1;
    for (size_t end = 0; end < characters.size(); end++) {
        if (characters[end] == "/" &&
            Match(wanted, std::vector<std::string>(characters.begin(), characters.begin() + end)))
            return 1;
    }
    return 0;
}

}  // extern "C"
