// The extractor's work files: two files in the user's temporary folder per
// compressed entry, named from a generator that starts from the same seed in
// every run of the program, and the chain that runs between them.
#pragma once

#include <stdint.h>

#include "decoder/decode_chain.h"

// State of the generator: 1 at program start, changed only by NextRandom.
extern uint32_t RandomState;

// One draw: bits 16..30 of the next state, 0..32767.
uint32_t NextRandom();
// A fraction 0 <= f <= 0.99999 from two draws.
double Rnd();
// "Zev" + four characters of the name alphabet, NUL-terminated (8 bytes).
void RandomString(char stem[8]);

struct WorkFiles {
    FileHandle first;
    FileHandle second;
};

// Copies the entry's stored bytes from the archive (standing at its first
// stored byte) into a new first work file and runs stages 1 to 3 between the
// two work files. Leaves the archive right behind the stored bytes and both
// work files open (or NO_FILE where one could not be created). CAUSE_OK when
// the second work file holds run-length blocks that expand to exactly
// `originalSize` bytes; otherwise why not.
Status DecodeStoredEntry(FileHandle archive, const StoredEntry& entry, MessagePump pump,
                         WorkFiles* files);

// Closes, and so deletes, both work files.
void CloseWorkFiles(WorkFiles* files);
