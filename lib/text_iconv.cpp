// Native side of the name handling: code page 932 to and from UTF-8 with
// iconv, paths separated by '/'.
#include <errno.h>
#include <iconv.h>
#include <stdio.h>

#include "lib/text.h"
#include "lib/text_utf8.h"

namespace {

// A converter kept per thread and direction: opening one costs more than
// converting a name, and a listing converts every name part of every entry.
class Converter {
public:
    Converter(const char* to, const char* from) : handle_(iconv_open(to, from)) {}
    ~Converter() {
        if (handle_ != (iconv_t)-1) iconv_close(handle_);
    }
    iconv_t Get() {
        // Back to the initial shift state after whatever the last use left.
        if (handle_ != (iconv_t)-1) iconv(handle_, nullptr, nullptr, nullptr, nullptr);
        return handle_;
    }

private:
    iconv_t handle_;
};

bool IsAscii(const std::string& text) {
    for (unsigned char c : text)
        if (c >= 0x80) return false;
    return true;
}

bool Convert(Converter* converter, const std::string& in, std::string* out) {
    // Both encodings keep the ASCII bytes as they are.
    if (IsAscii(in)) {
        *out = in;
        return true;
    }
    iconv_t handle = converter->Get();
    if (handle == (iconv_t)-1) return false;
    out->clear();
    char* source = const_cast<char*>(in.data());
    size_t source_left = in.size();
    while (source_left > 0) {
        char buffer[1024];
        char* target = buffer;
        size_t target_left = sizeof buffer;
        size_t result = iconv(handle, &source, &source_left, &target, &target_left);
        out->append(buffer, (size_t)(target - buffer));
        // EILSEQ or EINVAL: not representable, or cut inside a character.
        if (result == (size_t)-1 && errno != E2BIG) return false;
        // Lossless only: iconv counts characters it had to replace.
        if (result != (size_t)-1 && result > 0) return false;
    }
    return true;
}

}  // namespace

bool Utf8ToCp932(const std::string& utf8, std::string* cp932) {
    thread_local Converter to_cp932("CP932", "UTF-8");
    return Convert(&to_cp932, utf8, cp932);
}

bool Cp932ToUtf8(const std::string& cp932, std::string* utf8) {
    thread_local Converter to_utf8("UTF-8", "CP932");
    return Convert(&to_utf8, cp932, utf8);
}

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
