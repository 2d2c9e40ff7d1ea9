// Code page 932 byte strings: the two double-byte rules in use, and the tests
// that keep every entry name inside the destination folder.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The byte between the components of an entry name: the backslash, found
// only where it is a character of its own (InStr2), never as a trail byte.
const char NAME_SEPARATOR = 0x5C;

// Lead byte by the fixed ranges 0x80-0x9F and 0xE0-0xFF.
bool Upper2Byte(uint8_t byte);

// 1-based position of the first occurrence of `find` at or after `start` that
// begins on a character boundary (by Upper2Byte); 0 when there is none.
int InStr2(int start, const char* haystack, int haystack_length, const char* find, int find_length);

// True when the string ends in a backslash that is a character of its own, not
// the trail byte of a double-byte character. Windows asks CharPrevA; elsewhere
// the code page 932 lead-byte ranges 0x81-0x9F and 0xE0-0xFC decide.
bool EndYen(const char* text, size_t length);

// True when one path component may be created below the destination: not empty,
// not made only of dots and spaces, not a reserved device name (CON, PRN, AUX,
// NUL, COM1-9, LPT1-9, with or without extension), and no single-byte character
// that Windows refuses in a name: controls, / : * ? " < > | and the backslash
// (which can only appear here as a stray byte the separator search passed over).
bool IsSafeNameComponent(const char* component, size_t length);

// The name rules of the library and the tool, which judge names without
// touching the file system: a safe component that also does not end in a dot
// or a space, which Windows strips, so that the entry would land under
// another name. Lengths need no rule: nameLength is one byte, so no component
// passes Windows' 255-byte limit.
bool IsPortableNameComponent(const char* component, size_t length);
