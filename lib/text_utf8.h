// Exact conversions between UTF-8 and code page 932: iconv natively, the
// system's code page tables on Windows.
#pragma once

#include <string>

// False when a character has no counterpart (a question: see text.h).
bool Utf8ToCp932(const std::string& utf8, std::string* cp932);
bool Cp932ToUtf8(const std::string& cp932, std::string* utf8);
