/* Writes the code page 932 tables of cp932_table.cpp from the build machine's
 * iconv, so that a build whose C library lacks an exact code page 932 (the
 * WebAssembly one) converts names exactly as the native build does.
 * Only conversions that iconv calls reversible are kept. */
#include <iconv.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

/* 0 when `in` converts whole and reversibly into `out` (*out_size bytes). */
static int Convert(iconv_t converter, const char* in, size_t in_size, char* out, size_t* out_size) {
    char* source = (char*)in;
    char* target = out;
    size_t source_left = in_size, target_left = 8;
    iconv(converter, NULL, NULL, NULL, NULL);
    size_t result = iconv(converter, &source, &source_left, &target, &target_left);
    if (result != 0 || source_left != 0) return -1;
    *out_size = (size_t)(target - out);
    return 0;
}

int main(void) {
    iconv_t to_unicode = iconv_open("UTF-16LE", "CP932");
    iconv_t from_unicode = iconv_open("CP932", "UTF-16LE");
    if (to_unicode == (iconv_t)-1 || from_unicode == (iconv_t)-1) {
        fprintf(stderr, "make_cp932_table: iconv has no CP932\n");
        return 1;
    }
    char out[8];
    size_t out_size;
    printf("// Made by make_cp932_table from the build machine's iconv.\n");
    printf("static const uint16_t CP932_SINGLE[256] = {");
    for (int b = 0; b < 256; b++) {
        char in[1] = {(char)b};
        unsigned unicode = 0xFFFF;
        if (Convert(to_unicode, in, 1, out, &out_size) == 0 && out_size == 2)
            unicode = (uint8_t)out[0] | (unsigned)(uint8_t)out[1] << 8;
        printf("%s0x%04X", b % 12 ? ", " : ",\n    " + (b == 0), unicode);
    }
    printf("};\n\nstatic const uint16_t CP932_DOUBLE[][2] = {");
    int count = 0;
    for (int lead = 0x80; lead < 0x100; lead++) {
        for (int trail = 0x40; trail < 0x100; trail++) {
            char in[2] = {(char)lead, (char)trail};
            if (Convert(to_unicode, in, 2, out, &out_size) != 0 || out_size != 2) continue;
            unsigned unicode = (uint8_t)out[0] | (unsigned)(uint8_t)out[1] << 8;
            printf("%s{0x%04X, 0x%04X}", count++ % 6 ? ", " : ",\n    " + (count == 1),
                   lead << 8 | trail, unicode);
        }
    }
    printf("};\n\nstatic const uint16_t CP932_ENCODE[][2] = {");
    count = 0;
    for (unsigned unicode = 0; unicode < 0x10000; unicode++) {
        if (unicode >= 0xD800 && unicode < 0xE000) continue;
        char in[2] = {(char)(unicode & 0xFF), (char)(unicode >> 8)};
        if (Convert(from_unicode, in, 2, out, &out_size) != 0) continue;
        unsigned code = out_size == 1 ? (uint8_t)out[0]
                                      : (unsigned)(uint8_t)out[0] << 8 | (uint8_t)out[1];
        printf("%s{0x%04X, 0x%04X}", count++ % 6 ? ", " : ",\n    " + (count == 1), unicode, code);
    }
    printf("};\n");
    return 0;
}
