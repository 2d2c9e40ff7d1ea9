// Code page 932 byte strings: character boundaries and the name rules that keep
// every entry below the destination folder.
#include "payload/names.h"

#include <string.h>

#include "platform/platform.h"

bool Upper2Byte(uint8_t byte) {
    // Top bit set and bits 6 and 5 equal: 0x80-0x9F and 0xE0-0xFF.
    return (byte & 0x80) != 0 && ((byte >> 6) & 1) == ((byte >> 5) & 1);
}

int InStr2(int start, const char* haystack, int haystack_length, const char* find,
           int find_length) {
    if (find_length == 0) return start;
    if (start < 1) return 0;
    const uint8_t* h = (const uint8_t*)haystack;
    for (int i = start - 1; i <= haystack_length - find_length; i++) {
        if (memcmp(h + i, find, (size_t)find_length) != 0) continue;
        if (i == 0 || Upper2Byte((uint8_t)find[0])) return i + 1;
        // An odd run of lead bytes right before the match means the matched
        // byte is the trail byte of a double-byte character.
        int leads = 0;
        for (int j = i - 1; j >= 0 && Upper2Byte(h[j]); j--) leads++;
        if (leads % 2 == 0) return i + 1;
    }
    return 0;
}

#ifndef _WIN32
namespace {
// The lead bytes of code page 932 itself (narrower than Upper2Byte).
bool IsCp932LeadByte(uint8_t byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}
}  // namespace
#endif

bool EndYen(const char* text, size_t length) {
    if (length == 0 || text[length - 1] != NAME_SEPARATOR) return false;
#ifdef _WIN32
    // Names are in the ANSI code page, whose backslash is the path separator.
    return PathEndsInSeparator(text, length);
#else
    // Walk forward character by character, as stepping back must, to find
    // where the last character begins.
    const uint8_t* bytes = (const uint8_t*)text;
    size_t i = 0;
    size_t last = 0;
    while (i < length) {
        last = i;
        i += (IsCp932LeadByte(bytes[i]) && i + 1 < length) ? 2 : 1;
    }
    return last == length - 1;
#endif
}

namespace {

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c; }

bool EqualsIgnoringCase(const char* text, size_t length, const char* word) {
    size_t n = strlen(word);
    if (n != length) return false;
    for (size_t i = 0; i < n; i++) {
        if (AsciiUpper(text[i]) != word[i]) return false;
    }
    return true;
}

// Windows opens the device, not a file, for these names, whatever extension
// follows and with trailing spaces before it ignored.
bool IsReservedDeviceName(const char* component, size_t length) {
    size_t base = 0;
    while (base < length && component[base] != '.') base++;
    while (base > 0 && component[base - 1] == ' ') base--;
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : kDevices) {
        if (EqualsIgnoringCase(component, base, device)) return true;
    }
    if (base == 4 &&
        (EqualsIgnoringCase(component, 3, "COM") || EqualsIgnoringCase(component, 3, "LPT"))) {
        return component[3] >= '1' && component[3] <= '9';
    }
    return false;
}

bool IsCp932TrailByte(uint8_t byte) {
    return (byte >= 0x40 && byte <= 0x7E) || (byte >= 0x80 && byte <= 0xFC);
}

// Characters that Windows never accepts in a file name. '/' is also a
// separator there, and ':' names a drive or an alternate data stream; the rest
// are refused by Windows anyway and are refused here too, so that a check on
// another system comes to the same answer.
bool IsForbiddenSingleByte(uint8_t byte) {
    if (byte < 0x20) return true;
    switch (byte) {
        case '/':
        case ':':
        case '*':
        case '?':
        case '"':
        case '<':
        case '>':
        case '|':
        case NAME_SEPARATOR:
            return true;
        default:
            return false;
    }
}

}  // namespace

bool IsSafeNameComponent(const char* component, size_t length) {
    if (length == 0) return false;

    bool only_dots_and_spaces = true;
    for (size_t i = 0; i < length; i++) {
        if (component[i] != '.' && component[i] != ' ') only_dots_and_spaces = false;
    }
    if (only_dots_and_spaces) return false;

    // Judge single-byte characters only: the trail byte of a double-byte
    // character may equal '|' or a backslash. A lead byte without a valid
    // trail byte behind it stands alone, so the byte after it is judged.
    const uint8_t* bytes = (const uint8_t*)component;
    for (size_t i = 0; i < length; i++) {
        uint8_t byte = bytes[i];
        bool lead = (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
        if (lead && i + 1 < length && IsCp932TrailByte(bytes[i + 1])) {
            i++;
            continue;
        }
        if (IsForbiddenSingleByte(byte)) return false;
    }

    return !IsReservedDeviceName(component, length);
}

bool IsPortableNameComponent(const char* component, size_t length) {
    if (!IsSafeNameComponent(component, length)) return false;
    // A safe component is not empty; its last byte is a single-byte character
    // when it is a dot or a space, as trail bytes start at 0x40.
    char last = component[length - 1];
    return last != '.' && last != ' ';
}
