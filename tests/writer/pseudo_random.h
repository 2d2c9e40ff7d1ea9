// Reproducible pseudo-random bytes: the inputs that writer_narrow_search finds
// are kept as seeds of this generator, in the writer's, the tool's and the
// extractor's tests alike.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

// xorshift64*: fixed, so a seed always gives the same bytes on every machine.
inline uint64_t NextPseudoRandom(uint64_t* state) {
    uint64_t x = *state;
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    *state = x;
    return x * 0x2545F4914F6CDD1DULL;
}

inline std::vector<uint8_t> PseudoRandomBytes(uint64_t seed, size_t size) {
    uint64_t state = seed * 0x9E3779B97F4A7C15ULL + 1;
    std::vector<uint8_t> data(size);
    size_t i = 0;
    while (i < size) {
        uint64_t r = NextPseudoRandom(&state);
        for (int k = 0; k < 8 && i < size; k++, i++) data[i] = (uint8_t)(r >> (8 * k));
    }
    return data;
}
