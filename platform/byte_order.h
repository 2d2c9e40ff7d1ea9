// Loads and stores of fixed-width integers in a given byte order. The entry
// records are little-endian; the stage headers are 24-bit, block sorting's
// most significant byte first and run-length's least significant byte first.
#pragma once

#include <stdint.h>

inline uint16_t Load16LE(const uint8_t* b) { return (uint16_t)(b[0] | (b[1] << 8)); }

inline uint32_t Load24LE(const uint8_t* b) {
    return (uint32_t)b[0] | ((uint32_t)b[1] << 8) | ((uint32_t)b[2] << 16);
}

inline uint32_t Load24BE(const uint8_t* b) {
    return ((uint32_t)b[0] << 16) | ((uint32_t)b[1] << 8) | (uint32_t)b[2];
}

inline uint32_t Load32LE(const uint8_t* b) {
    return (uint32_t)b[0] | ((uint32_t)b[1] << 8) | ((uint32_t)b[2] << 16) | ((uint32_t)b[3] << 24);
}

inline uint64_t Load64LE(const uint8_t* b) {
    return (uint64_t)Load32LE(b) | ((uint64_t)Load32LE(b + 4) << 32);
}

inline void Store16LE(uint8_t* b, uint16_t value) {
    b[0] = (uint8_t)value;
    b[1] = (uint8_t)(value >> 8);
}

inline void Store24LE(uint8_t* b, uint32_t value) {
    b[0] = (uint8_t)value;
    b[1] = (uint8_t)(value >> 8);
    b[2] = (uint8_t)(value >> 16);
}

inline void Store24BE(uint8_t* b, uint32_t value) {
    b[0] = (uint8_t)(value >> 16);
    b[1] = (uint8_t)(value >> 8);
    b[2] = (uint8_t)value;
}

inline void Store32LE(uint8_t* b, uint32_t value) {
    Store16LE(b, (uint16_t)value);
    Store16LE(b + 2, (uint16_t)(value >> 16));
}

inline void Store64LE(uint8_t* b, uint64_t value) {
    Store32LE(b, (uint32_t)value);
    Store32LE(b + 4, (uint32_t)(value >> 32));
}
