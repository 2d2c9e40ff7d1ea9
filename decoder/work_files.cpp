#include "decoder/work_files.h"

#include <string.h>

uint32_t RandomState = 1;
// Set only by tests (tests/test_hooks.h).
void (*BeforeWorkFileOpen)(const char* path) = nullptr;

// The 64 characters a work-file stem is made of.
static const char NAME_ALPHABET[] =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz-_";
static const uint32_t NAME_ALPHABET_LENGTH = 64;

static const char STEM_PREFIX[] = "Zev";
static const uint32_t STEM_LENGTH = 7;
static const char FIRST_SUFFIX[] = "1.tmp";
static const char SECOND_SUFFIX[] = "2.tmp";

// Room for the temporary folder, one appended separator, the stem, "1.tmp"
// and the terminating NUL.
static const size_t WORK_PATH_SIZE = TEMP_FOLDER_ROOM + 1 + STEM_LENGTH + 5 + 1;

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

// The user's temporary folder, always ending in a separator that is a
// character of its own.
static size_t WorkFolder(char folder[TEMP_FOLDER_ROOM + 1]) {
    GetTemporaryFolder(folder);
    size_t length = strlen(folder);
    if (!PathEndsInSeparator(folder, length)) {
        folder[length++] = PATH_SEPARATOR;
        folder[length] = '\0';
    }
    return length;
}

static void MakeWorkPath(char path[WORK_PATH_SIZE], const char* folder, size_t folder_length,
                         const char* stem, const char* suffix) {
    memcpy(path, folder, folder_length);
    memcpy(path + folder_length, stem, STEM_LENGTH);
    memcpy(path + folder_length + STEM_LENGTH, suffix, sizeof FIRST_SUFFIX);
}

static Status OpenWorkFile(const char* path, FileHandle* file) {
    if (BeforeWorkFileOpen) BeforeWorkFileOpen(path);
    return CreateWorkFile(path, file);
}

// Draws stems until neither name exists and both files could be made. A name
// that another program (or a second stub, which draws the same stems) takes
// between the check and the open makes the open fail, and counts like a name
// that existed. Both files are made before the copy, so the second name cannot
// be taken while the stored bytes move. CAUSE_WRITE_FAILED, with neither file
// open, when a file cannot be made for another reason.
static Status OpenWorkFiles(const char* folder, size_t folder_length, WorkFiles* files) {
    char firstPath[WORK_PATH_SIZE];
    char secondPath[WORK_PATH_SIZE];
    for (;;) {
        char stem[8];
        RandomString(stem);
        MakeWorkPath(firstPath, folder, folder_length, stem, FIRST_SUFFIX);
        MakeWorkPath(secondPath, folder, folder_length, stem, SECOND_SUFFIX);
        // Both names are asked on every attempt.
        bool firstExists = PathExists(firstPath);
        bool secondExists = PathExists(secondPath);
        if (firstExists || secondExists) continue;

        Status opened = OpenWorkFile(firstPath, &files->first);
        if (!opened.ok()) {
            if (PathExists(firstPath)) continue;
            return opened;
        }
        opened = OpenWorkFile(secondPath, &files->second);
        if (opened.ok()) return STATUS_OK;
        CloseFile(files->first);
        files->first = NO_FILE;
        if (!PathExists(secondPath)) return opened;
    }
}

Status DecodeStoredEntry(FileHandle archive, const StoredEntry& entry, MessagePump pump,
                         WorkFiles* files) {
    files->first = NO_FILE;
    files->second = NO_FILE;

    char folder[TEMP_FOLDER_ROOM + 1];
    size_t folder_length = WorkFolder(folder);
    Status result = OpenWorkFiles(folder, folder_length, files);
    if (!result.ok()) {
        SetFilePointer64(archive, entry.storedSize, FILE_CURRENT);
        return result;
    }
    StoredBytesAt stored = {archive, SetFilePointer64(archive, 0, FILE_CURRENT)};
    result = CopyIntoWorkFile(archive, files->first, entry.storedSize);
    if (!result.ok()) return result;
    // The archive is left behind the stored bytes, also when they are read again.
    int64_t next = SetFilePointer64(archive, 0, FILE_CURRENT);
    result = DecodeWorkFiles(files->first, files->second, entry, pump, stored);
    if (SetFilePointer64(archive, next, FILE_BEGIN) != next && result.ok())
        result = Failed(CAUSE_READ_FAILED);
    return result;
}

void CloseWorkFiles(WorkFiles* files) {
    CloseFile(files->first);
    CloseFile(files->second);
    files->first = NO_FILE;
    files->second = NO_FILE;
}
