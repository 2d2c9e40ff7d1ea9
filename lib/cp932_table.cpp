// Code page 932 to and from UTF-8 through tables taken from the build
// machine's iconv (make_cp932_table.c), for C libraries without an exact code
// page 932. Every character converts as the native build converts it.
#include <stdint.h>
#include <stdlib.h>

#include "lib/text_utf8.h"

#include "cp932_table.inc"

namespace {

const uint16_t NONE = 0xFFFF;

// The second column of the sorted pair table whose first column is `key`.
template <size_t N>
uint16_t LookUp(const uint16_t (&table)[N][2], uint16_t key) {
    size_t low = 0, high = N;
    while (low < high) {
        size_t middle = (low + high) / 2;
        if (table[middle][0] < key)
            low = middle + 1;
        else
            high = middle;
    }
    return low < N && table[low][0] == key ? table[low][1] : NONE;
}

void AppendUtf8(uint16_t unicode, std::string* out) {
    if (unicode < 0x80) {
        out->push_back((char)unicode);
    } else if (unicode < 0x800) {
        out->push_back((char)(0xC0 | unicode >> 6));
        out->push_back((char)(0x80 | (unicode & 0x3F)));
    } else {
        out->push_back((char)(0xE0 | unicode >> 12));
        out->push_back((char)(0x80 | (unicode >> 6 & 0x3F)));
        out->push_back((char)(0x80 | (unicode & 0x3F)));
    }
}

// The code point at `at` (below 0x10000, which is all code page 932 has), and
// its length in `length`; NONE for anything else or malformed UTF-8.
uint16_t NextCodePoint(const std::string& utf8, size_t at, size_t* length) {
    unsigned char lead = (unsigned char)utf8[at];
    if (lead < 0x80) {
        *length = 1;
        return lead;
    }
    size_t size = lead >= 0xE0 && lead < 0xF0 ? 3 : lead >= 0xC2 && lead < 0xE0 ? 2 : 0;
    if (size == 0 || at + size > utf8.size()) return NONE;
    unsigned code = lead & (size == 2 ? 0x1F : 0x0F);
    for (size_t i = 1; i < size; i++) {
        unsigned char next = (unsigned char)utf8[at + i];
        if ((next & 0xC0) != 0x80) return NONE;
        code = code << 6 | (next & 0x3F);
    }
    if ((size == 3 && code < 0x800) || (code >= 0xD800 && code < 0xE000)) return NONE;
    *length = size;
    return (uint16_t)code;
}

}  // namespace

bool Utf8ToCp932(const std::string& utf8, std::string* cp932) {
    cp932->clear();
    for (size_t at = 0; at < utf8.size();) {
        size_t length = 0;
        uint16_t unicode = NextCodePoint(utf8, at, &length);
        if (unicode == NONE) return false;
        uint16_t code = LookUp(CP932_ENCODE, unicode);
        if (code == NONE) return false;
        if (code > 0xFF) cp932->push_back((char)(code >> 8));
        cp932->push_back((char)(code & 0xFF));
        at += length;
    }
    return true;
}

bool Cp932ToUtf8(const std::string& cp932, std::string* utf8) {
    utf8->clear();
    for (size_t at = 0; at < cp932.size();) {
        uint8_t lead = (uint8_t)cp932[at];
        uint16_t unicode = CP932_SINGLE[lead];
        size_t length = 1;
        if (unicode == NONE) {
            if (at + 1 >= cp932.size()) return false;
            unicode = LookUp(CP932_DOUBLE, (uint16_t)(lead << 8 | (uint8_t)cp932[at + 1]));
            if (unicode == NONE) return false;
            length = 2;
        }
        AppendUtf8(unicode, utf8);
        at += length;
    }
    return true;
}
