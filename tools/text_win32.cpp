// Windows side of the name handling: names stay code page 932 bytes, which is
// what the ANSI calls and a Japanese console take; paths are separated by '\'.
#include <windows.h>

#include <stdio.h>

#include "payload/names.h"
#include "tools/text.h"

namespace {

// True when the system, stepping through `component` by its own code page,
// finds a separator in it. The validation judged the name by code page 932;
// on a system of another code page a trail byte could become a separator and
// split a checked component into unchecked ones.
bool SystemSeesSeparator(const std::string& component) {
    for (size_t i = 0; i < component.size(); i++) {
        if (IsDBCSLeadByte((BYTE)component[i]) && i + 1 < component.size()) {
            i++;
        } else if (component[i] == '\\' || component[i] == '/') {
            return true;
        }
    }
    return false;
}

}  // namespace

bool EntryNameToComponents(const std::string& cp932_name, std::vector<std::string>* components) {
    components->clear();
    for (const std::string& component : SplitEntryName(cp932_name)) {
        // Validation has refused such names already; a path is never built
        // from one, whatever the archive holds.
        if (!IsSafeNameComponent(component.data(), component.size()) ||
            component.find('\0') != std::string::npos || SystemSeesSeparator(component)) {
            return false;
        }
        components->push_back(component);
    }
    return true;
}

const char LOCAL_SEPARATOR = '\\';

std::string PrintableName(const std::string& cp932_name) { return EscapedBytes(cp932_name, true); }

std::string ShortenedName(const std::string& shown, size_t limit) {
    if (shown.size() <= limit || limit < 4) return shown;
    // The first character boundary that leaves at most limit - 3 bytes.
    size_t from = 0;
    while (from < shown.size() && shown.size() - from > limit - 3) {
        from += (IsDBCSLeadByte((BYTE)shown[from]) && from + 1 < shown.size()) ? 2 : 1;
    }
    return "..." + shown.substr(from);
}
