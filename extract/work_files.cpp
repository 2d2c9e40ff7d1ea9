#include "extract/work_files.h"

#include <string.h>

#include "app/window_services.h"
#include "codec/012coding.h"
#include "codec/BlockSorting.h"
#include "codec/MoveToFront.h"
#include "codec/RunLength.h"
#include "payload/names.h"

uint32_t RandomState = 1;

// The 64 characters a work-file stem is made of.
static const char NAME_ALPHABET[] =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz-_";
static const uint32_t NAME_ALPHABET_LENGTH = 64;

static const char STEM_PREFIX[] = "Zev";
static const uint32_t STEM_LENGTH = 7;

// Room for the temporary folder (MAX_PATH bytes), one appended backslash, the
// stem, "1.tmp" and the terminating NUL.
static const uint32_t WORK_PATH_SIZE = MAX_PATH + 1 + STEM_LENGTH + 5 + 1;

// One draw of the linear congruential generator: bits 16..30 of the new state.
uint32_t NextRandom() {
    RandomState = RandomState * 1103515245u + 12345u;
    return (RandomState >> 16) & 0x7FFFu;
}

// A fraction in [0, 0.99999]: the product of two draws modulo 100000.
double Rnd() {
    // Both draws are at most 32767, so the product fits a signed 32-bit value.
    int32_t a = (int32_t)NextRandom();
    int32_t b = (int32_t)NextRandom();
    int32_t r = (a * b) % 100000;
    // Stored as a double: on x87 the quotient would otherwise reach the caller
    // with more precision than a double holds.
    volatile double fraction = r / 100000.0;
    return fraction;
}

// "Zev" and four alphabet characters, each picked by the whole part of 64 * Rnd().
void RandomString(char stem[8]) {
    memcpy(stem, STEM_PREFIX, 3);
    for (uint32_t position = 3; position < STEM_LENGTH; position++) {
        // Truncation toward zero: Rnd() <= 0.99999 keeps the index at 63 or below.
        uint32_t index = (uint32_t)(NAME_ALPHABET_LENGTH * Rnd());
        stem[position] = NAME_ALPHABET[index];
    }
    stem[STEM_LENGTH] = '\0';
}

// The user's temporary folder, always ending in a single-byte backslash.
static void TemporaryFolder(char folder[MAX_PATH + 2]) {
    // Zero-filled so that a path the call cannot deliver reads as empty.
    memset(folder, 0, MAX_PATH + 2);
    GetTempPathA(MAX_PATH, folder);
    folder[MAX_PATH] = '\0';
    size_t length = strlen(folder);
    if (!EndYen(folder, length)) {
        folder[length] = '\\';
        folder[length + 1] = '\0';
    }
}

static bool PathExists(const char* path) {
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// Draws stems until neither folder + stem + "1.tmp" nor folder + stem + "2.tmp"
// names anything; both names are asked on every attempt.
static void ChooseWorkNames(const char* folder, char firstPath[WORK_PATH_SIZE],
                            char secondPath[WORK_PATH_SIZE]) {
    for (;;) {
        char stem[8];
        RandomString(stem);
        wsprintfA(firstPath, "%s%s1.tmp", folder, stem);
        wsprintfA(secondPath, "%s%s2.tmp", folder, stem);
        bool firstExists = PathExists(firstPath);
        bool secondExists = PathExists(secondPath);
        if (!firstExists && !secondExists) return;
    }
}

// Opened without sharing; the system deletes the file when its handle closes.
static HANDLE CreateWorkFile(const char* path) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                       FILE_FLAG_DELETE_ON_CLOSE, NULL);
}

void CopyStoredBytes(HANDLE executable, HANDLE first, uint32_t storedSize, uint8_t* buffer) {
    DWORD done = 0;
    uint32_t n = storedSize;
    while (n > COPY_BUF_SIZE) {
        ReadFile(executable, buffer, COPY_BUF_SIZE, &done, NULL);
        WriteFile(first, buffer, COPY_BUF_SIZE, &done, NULL);
        n -= COPY_BUF_SIZE;
    }
    ReadFile(executable, buffer, n, &done, NULL);
    WriteFile(first, buffer, n, &done, NULL);
}

// Stages 1 to 3 between the two open work files, then the integrity check on
// what stage 4 would make of the result. 1 when sound, 0 for a corrupt entry.
static int RunDecodeChain(HANDLE first, HANDLE second, uint32_t oddRescale, uint32_t originalSize) {
    MessagePump pump = DecodePump();
    if (!coding012_decode(first, second, (int)oddRescale, pump)) return 0;
    if (!mtf_decode(second, first, pump)) return 0;
    if (!blocksort_decode(first, second, pump)) return 0;
    // The format carries no checksum: the run-length blocks must expand to
    // exactly the size the record announces, or the target is never made.
    return rle_expanded_size(second) == (int64_t)originalSize ? 1 : 0;
}

int DecodeStoredEntry(HANDLE executable, uint32_t storedSize, uint32_t oddRescale,
                      uint32_t originalSize, WorkFiles* files) {
    files->first = INVALID_HANDLE_VALUE;
    files->second = INVALID_HANDLE_VALUE;
    int64_t start = SetFilePointer64(executable, 0, FILE_CURRENT);

    char folder[MAX_PATH + 2];
    TemporaryFolder(folder);
    char firstPath[WORK_PATH_SIZE];
    char secondPath[WORK_PATH_SIZE];
    ChooseWorkNames(folder, firstPath, secondPath);

    int result = 0;
    files->first = CreateWorkFile(firstPath);
    if (files->first != INVALID_HANDLE_VALUE) {
        uint8_t* buffer = (uint8_t*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, COPY_BUF_SIZE);
        if (buffer != NULL) {
            CopyStoredBytes(executable, files->first, storedSize, buffer);
            HeapFree(GetProcessHeap(), 0, buffer);
            files->second = CreateWorkFile(secondPath);
            if (files->second != INVALID_HANDLE_VALUE)
                result = RunDecodeChain(files->first, files->second, oddRescale, originalSize);
        }
    }

    // Whatever was copied, the next record starts right behind the stored bytes.
    if (start >= 0) SetFilePointer64(executable, start + (int64_t)storedSize, FILE_BEGIN);
    return result;
}

void CloseWorkFiles(WorkFiles* files) {
    if (files->first != INVALID_HANDLE_VALUE) CloseHandle(files->first);
    if (files->second != INVALID_HANDLE_VALUE) CloseHandle(files->second);
    files->first = INVALID_HANDLE_VALUE;
    files->second = INVALID_HANDLE_VALUE;
}

void TickThrottledPump(void* context) {
    TickPumpState* state = (TickPumpState*)context;
    DWORD now = GetTickCount();
    if (now == state->lastTick) return;
    state->lastTick = now;
    MSG waiting;
    uint32_t steps = 0;
    do {
        DoEvents();
        steps++;
    } while (steps < MAX_PUMP_STEPS && PeekMessageA(&waiting, NULL, 0, 0, PM_NOREMOVE));
    state->steps += steps;
}

// The decode chain's pump state, shared by every entry of the process.
static TickPumpState DecodePumpState = {0, 0};

MessagePump DecodePump() {
    MessagePump pump = {TickThrottledPump, &DecodePumpState};
    return pump;
}
