// The part of the name handling that is the same on every system.
#include "lib/text.h"

#include <stdio.h>

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
