// The part of the name handling that is the same on every system.
#include "tools/text.h"

#include "payload/names.h"

std::vector<std::string> SplitEntryName(const std::string& name) {
    static const char kSeparator = 0x5C;
    std::vector<std::string> components;
    int length = (int)name.size();
    int position = 1;
    while (position <= length) {
        int separator = InStr2(position, name.data(), length, &kSeparator, 1);
        int end = separator != 0 ? separator : length + 1;
        components.push_back(name.substr((size_t)(position - 1), (size_t)(end - position)));
        if (separator == 0) break;
        position = separator + 1;
    }
    return components;
}
