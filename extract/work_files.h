// The two work files of one compressed entry, the chain of stages 1-3 that
// runs between them, and the generator that names them.
#pragma once

#include <windows.h>
#include <stdint.h>

#include "platform/platform.h"

// State of the generator: 1 at program start, changed only by NextRandom.
extern uint32_t RandomState;

// One draw: bits 16..30 of the next state, 0..32767.
uint32_t NextRandom();
// A fraction 0 <= f <= 0.99999 from two draws.
double Rnd();
// "Zev" + four characters of the name alphabet, NUL-terminated (8 bytes).
void RandomString(char stem[8]);

// Size of the copy buffer: stored bytes move into the first work file in
// pieces of at most this many bytes.
const uint32_t COPY_BUF_SIZE = 0x100000;

// Copies `storedSize` bytes from `executable` (at its current position) to
// `first` through `buffer` (COPY_BUF_SIZE bytes): full pieces while more than
// one piece remains, then one last piece of the rest, also when that is 0.
// Every write asks for the count that its read asked for.
void CopyStoredBytes(HANDLE executable, HANDLE first, uint32_t storedSize, uint8_t* buffer);

struct WorkFiles {
    HANDLE first;
    HANDLE second;
};

// Copies `storedSize` bytes from the executable (standing at the entry's first
// stored byte) into a new first work file and runs stage 1 (first -> second),
// stage 2 (second -> first) and stage 3 (first -> second). Leaves the
// executable right behind the stored bytes and both work files open (or
// INVALID_HANDLE_VALUE where one could not be created). Answers 1 when the
// second work file holds run-length blocks that expand to exactly
// `originalSize` bytes, 0 for a corrupt entry.
int DecodeStoredEntry(HANDLE executable, uint32_t storedSize, uint32_t oddRescale,
                      uint32_t originalSize, WorkFiles* files);

// Closes, and so deletes, both work files.
void CloseWorkFiles(WorkFiles* files);

// State of a tick-throttled pump: the GetTickCount value of its last pump and
// the number of DoEvents steps it has made so far.
struct TickPumpState {
    DWORD lastTick;
    uint32_t steps;
};

// Most DoEvents steps one pump makes when many messages wait.
const uint32_t MAX_PUMP_STEPS = 64;

// Pump function over a TickPumpState: nothing while GetTickCount() still shows
// the tick of the last pump; otherwise one DoEvents step, and further steps
// while messages wait, MAX_PUMP_STEPS at most.
void TickThrottledPump(void* state);

// The hook handed to every decode stage: TickThrottledPump over one
// process-wide state.
MessagePump DecodePump();
