// The part of the name handling that is the same on every system.
#include "lib/text.h"

#include <stdint.h>
#include <stdio.h>

#include "lib/text_utf8.h"
#include "payload/names.h"

std::vector<std::string> SplitEntryName(const std::string& name) {
    std::vector<std::string> components;
    int length = (int)name.size();
    int position = 1;
    while (position <= length) {
        int separator = InStr2(position, name.data(), length, &NAME_SEPARATOR, 1);
        int end = separator != 0 ? separator : length + 1;
        components.push_back(name.substr((size_t)(position - 1), (size_t)(end - position)));
        if (separator == 0) break;
        position = separator + 1;
    }
    return components;
}

bool EntryNameToPath(const std::string& cp932_name, std::string* path) {
    std::vector<std::string> components;
    path->clear();
    if (!EntryNameToComponents(cp932_name, &components)) return false;
    for (const std::string& component : components) {
        if (!path->empty()) *path += LOCAL_SEPARATOR;
        *path += component;
    }
    return !path->empty();
}

std::string EscapedBytes(const std::string& bytes, bool keep_high_bytes) {
    std::string shown;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && (c < 0x7F || (keep_high_bytes && c != 0x7F))) {
            shown += (char)c;
        } else {
            char escape[8];
            snprintf(escape, sizeof escape, "\\x%02X", c);
            shown += escape;
        }
    }
    return shown;
}

std::string ShortPrintableName(const std::string& cp932_name) {
    const size_t kMostBytes = 16;  // at most 64 characters once escaped
    if (cp932_name.size() <= kMostBytes) return PrintableName(cp932_name);
    return PrintableName(cp932_name.substr(0, kMostBytes)) + "... (" +
           std::to_string(cp932_name.size()) + " bytes)";
}

std::string ListedName(const std::string& cp932_name, bool folder) {
    std::string path;
    if (!EntryNameToPath(cp932_name, &path)) return PrintableName(cp932_name);
    return folder ? path + LOCAL_SEPARATOR : path;
}

namespace {

// The capital of a letter that code page 932 holds in both cases: Latin,
// full-width Latin, Greek, Cyrillic and the small Roman numerals.
uint32_t CapitalOf(uint32_t c) {
    if ((c >= 'a' && c <= 'z') || (c >= 0xFF41 && c <= 0xFF5A) ||
        (c >= 0x03B1 && c <= 0x03C9 && c != 0x03C2) || (c >= 0x0430 && c <= 0x044F))
        return c - 0x20;
    if (c == 0x0451) return 0x0401;
    if (c >= 0x2170 && c <= 0x217F) return c - 0x10;
    return c;
}

// The character of valid UTF-8 that begins at `*at`, moving past it.
uint32_t NextCharacter(const std::string& utf8, size_t* at) {
    unsigned char lead = (unsigned char)utf8[(*at)++];
    int more = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    uint32_t c = more == 0 ? lead : lead & (0x3F >> more);
    for (; more > 0 && *at < utf8.size(); more--)
        c = (c << 6) | ((unsigned char)utf8[(*at)++] & 0x3F);
    return c;
}

void AppendCharacter(uint32_t c, std::string* utf8) {
    if (c < 0x80) {
        *utf8 += (char)c;
    } else if (c < 0x800) {
        *utf8 += (char)(0xC0 | (c >> 6));
        *utf8 += (char)(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *utf8 += (char)(0xE0 | (c >> 12));
        *utf8 += (char)(0x80 | ((c >> 6) & 0x3F));
        *utf8 += (char)(0x80 | (c & 0x3F));
    } else {
        *utf8 += (char)(0xF0 | (c >> 18));
        *utf8 += (char)(0x80 | ((c >> 12) & 0x3F));
        *utf8 += (char)(0x80 | ((c >> 6) & 0x3F));
        *utf8 += (char)(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::string WindowsNameKey(const std::string& cp932_component) {
    // Through the characters: the code page's duplicate codes of one
    // character are one name as well.
    std::string utf8;
    if (!Cp932ToUtf8(cp932_component, &utf8)) return cp932_component;
    while (!utf8.empty() && (utf8.back() == '.' || utf8.back() == ' ')) utf8.pop_back();
    std::string key;
    for (size_t at = 0; at < utf8.size();)
        AppendCharacter(CapitalOf(NextCharacter(utf8, &at)), &key);
    return key;
}
