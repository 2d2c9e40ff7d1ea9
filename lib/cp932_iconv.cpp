// Code page 932 to and from UTF-8 with the C library's iconv.
#include <errno.h>
#include <iconv.h>

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
