// Windows side of the name handling: names stay code page 932 bytes, which is
// what the ANSI calls and a Japanese console take; paths are separated by '\'.
#include <windows.h>

#include <stdio.h>

#include <vector>

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

const UINT CODE_PAGE_932 = 932;

// `text` of code page `from` in code page `to`; false when a character has no
// form there or the text is not valid in `from`.
bool Recode(UINT from, UINT to, const std::string& text, std::string* recoded) {
    if (text.empty()) return false;
    int wide_length =
        MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, text.data(), (int)text.size(), nullptr, 0);
    if (wide_length <= 0) return false;
    std::vector<wchar_t> wide((size_t)wide_length);
    MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, text.data(), (int)text.size(), wide.data(),
                        wide_length);
    BOOL lossy = FALSE;
    int length = WideCharToMultiByte(to, WC_NO_BEST_FIT_CHARS, wide.data(), wide_length, nullptr, 0,
                                     nullptr, &lossy);
    if (length <= 0 || lossy) return false;
    recoded->resize((size_t)length);
    WideCharToMultiByte(to, WC_NO_BEST_FIT_CHARS, wide.data(), wide_length, &(*recoded)[0], length,
                        nullptr, &lossy);
    return !lossy;
}

}  // namespace

bool LocalNameToCp932(const std::string& local_name, std::string* cp932) {
    // The ANSI calls put '?' for a character that the code page lacks; no
    // real name holds one, and '?' is never a trail byte in code page 932.
    if (local_name.find('?') != std::string::npos) return false;
    if (GetACP() == CODE_PAGE_932) {
        *cp932 = local_name;
        return !local_name.empty();
    }
    // Another ANSI code page: only names that come back unchanged.
    std::string back;
    return Recode(CP_ACP, CODE_PAGE_932, local_name, cp932) &&
           Recode(CODE_PAGE_932, CP_ACP, *cp932, &back) && back == local_name;
}

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
