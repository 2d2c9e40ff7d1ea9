// Windows side of the name handling: names stay code page 932 bytes, which is
// what the ANSI calls and a Japanese console take; paths are separated by '\'.
#include <windows.h>

#include <stdio.h>

#include <vector>

#include "payload/names.h"
#include "lib/text.h"
#include "lib/text_utf8.h"

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
    // UTF-8 has every character, and the system takes neither flags nor a
    // default character for it.
    bool to_utf8 = to == CP_UTF8;
    DWORD flags = to_utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL lossy = FALSE;
    BOOL* lossy_out = to_utf8 ? nullptr : &lossy;
    int length =
        WideCharToMultiByte(to, flags, wide.data(), wide_length, nullptr, 0, nullptr, lossy_out);
    if (length <= 0 || lossy) return false;
    recoded->resize((size_t)length);
    WideCharToMultiByte(to, flags, wide.data(), wide_length, &(*recoded)[0], length, nullptr,
                        lossy_out);
    return !lossy;
}

}  // namespace

bool Utf8ToCp932(const std::string& utf8, std::string* cp932) {
    return Recode(CP_UTF8, CODE_PAGE_932, utf8, cp932);
}

bool Cp932ToUtf8(const std::string& cp932, std::string* utf8) {
    return Recode(CODE_PAGE_932, CP_UTF8, cp932, utf8);
}

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

size_t CharacterLengthAt(const std::string& text, size_t at) {
    return IsDBCSLeadByte((BYTE)text[at]) && at + 1 < text.size() ? 2 : 1;
}
