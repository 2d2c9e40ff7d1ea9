// Native side of the name handling: UTF-8 names, paths separated by '/'.
// The code page 932 conversion itself is cp932_iconv.cpp (iconv), or
// cp932_table.cpp where the C library has no exact code page 932.
#include "lib/text.h"
#include "lib/text_utf8.h"

bool LocalNameToCp932(const std::string& local_name, std::string* cp932) {
    std::string back;
    return Utf8ToCp932(local_name, cp932) && Cp932ToUtf8(*cp932, &back) && back == local_name;
}

bool EntryNameToComponents(const std::string& cp932_name, std::vector<std::string>* components) {
    components->clear();
    for (const std::string& component : SplitEntryName(cp932_name)) {
        std::string utf8;
        if (!Cp932ToUtf8(component, &utf8)) return false;
        // Validation has refused such names already; a path of this system is
        // never built from one whatever the conversion produced.
        if (utf8.empty() || utf8 == "." || utf8 == ".." || utf8.find('/') != std::string::npos ||
            utf8.find('\0') != std::string::npos) {
            return false;
        }
        components->push_back(utf8);
    }
    return true;
}

const char LOCAL_SEPARATOR = '/';

std::string PrintableName(const std::string& cp932_name) {
    std::string utf8;
    if (Cp932ToUtf8(cp932_name, &utf8)) {
        bool plain = true;
        for (unsigned char c : utf8) plain = plain && c >= 0x20 && c != 0x7F;
        if (plain) return utf8;
    }
    return EscapedBytes(cp932_name, false);
}

size_t CharacterLengthAt(const std::string& text, size_t at) {
    unsigned char lead = (unsigned char)text[at];
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    size_t end = at + 1;
    // Only continuation bytes belong to the character.
    while (end < text.size() && end < at + length && ((unsigned char)text[end] & 0xC0) == 0x80)
        end++;
    return end - at;
}
