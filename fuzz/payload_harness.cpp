#include "fuzz/payload_harness.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "payload/records.h"
#include "payload/validation.h"

namespace {

void Check(bool condition, const char* what) {
    if (condition) return;
    fprintf(stderr, "payload harness: broken invariant: %s\n", what);
    abort();
}

// The input as a file in memory, rewritten for every input; the locator
// opens it by itself through its path under /proc.
int g_file = -1;
char g_path[64];
// The validation's trial files go to a folder of their own, so that anything
// they leave behind is seen; in memory too where the system has a file system
// there, which keeps the trial creations cheap.
std::string g_trial_folder;

void RemoveTrialFolder() { rmdir(g_trial_folder.c_str()); }

void SetUpOnce() {
    if (g_file >= 0) return;
    g_file = memfd_create("quorvane-payload", MFD_CLOEXEC);
    Check(g_file >= 0, "a file in memory can be made");
    snprintf(g_path, sizeof g_path, "/proc/self/fd/%d", g_file);
    const char* base = getenv("TMPDIR");
    if (access("/dev/shm", W_OK) == 0) base = "/dev/shm";
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/qvfuzz-trial-XXXXXX";
    Check(mkdtemp(&pattern[0]) != nullptr, "a trial folder can be made");
    g_trial_folder = pattern;
    atexit(RemoveTrialFolder);
}

bool FolderIsEmpty(const char* folder) {
    DIR* dir = opendir(folder);
    if (!dir) return false;
    bool empty = true;
    while (dirent* e = readdir(dir))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) empty = false;
    closedir(dir);
    return empty;
}

// ZevCheckArchive with the trial folder as the temporary folder.
int Validate(uint32_t start) {
    const char* saved = getenv("TMPDIR");
    std::string previous = saved ? saved : "";
    setenv("TMPDIR", g_trial_folder.c_str(), 1);
    int verdict = ZevCheckArchive(g_file, start);
    if (saved)
        setenv("TMPDIR", previous.c_str(), 1);
    else
        unsetenv("TMPDIR");
    Check(FolderIsEmpty(g_trial_folder.c_str()), "validation leaves no trial file behind");
    return verdict;
}

bool IsLeadByte(uint8_t byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}
bool IsTrailByte(uint8_t byte) {
    return (byte >= 0x40 && byte <= 0x7E) || (byte >= 0x80 && byte <= 0xFC);
}

// A name's components as Windows reads it in code page 932: a backslash
// separates only where it is a character of its own. Every single-byte
// character is kept as it is, a double-byte one as its two bytes.
std::vector<std::string> Components(const std::string& name) {
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < name.size(); i++) {
        uint8_t byte = (uint8_t)name[i];
        if (IsLeadByte(byte) && i + 1 < name.size() && IsTrailByte((uint8_t)name[i + 1])) {
            parts.back() += name.substr(i++, 2);
        } else if (byte == 0x5C) {
            parts.emplace_back();
        } else {
            parts.back() += (char)byte;
        }
    }
    return parts;
}

bool EndsInSeparator(const std::string& name) {
    std::vector<std::string> parts = Components(name);
    return parts.size() > 1 && parts.back().empty();
}

bool HasSingleByte(const std::string& component, char wanted) {
    for (size_t i = 0; i < component.size(); i++) {
        uint8_t byte = (uint8_t)component[i];
        if (IsLeadByte(byte) && i + 1 < component.size() && IsTrailByte((uint8_t)component[i + 1]))
            i++;
        else if (byte == (uint8_t)wanted)
            return true;
    }
    return false;
}

// A component that could lead anywhere but to a new name inside its folder:
// empty (an absolute name, two backslashes), only dots and spaces (Windows
// trims trailing ones, leaving "." or ".."), a drive or stream (':'), another
// separator ('/'), or a device, whatever extension follows.
bool IsUnsafe(const std::string& component) {
    if (component.find_first_not_of(". ") == std::string::npos) return true;
    if (HasSingleByte(component, ':') || HasSingleByte(component, '/')) return true;
    std::string base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    for (char& c : base)
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (base == device) return true;
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
           base[3] >= '1' && base[3] <= '9';
}

bool IsSafeName(const std::string& name) {
    std::vector<std::string> parts = Components(name);
    if (EndsInSeparator(name)) parts.pop_back();
    for (const std::string& part : parts)
        if (IsUnsafe(part)) return false;
    return true;
}

// The walk with the name rules over the input in memory: the library's verdict.
PayloadFault RulesVerdict(const uint8_t* data, size_t size, uint32_t start) {
    ByteSource source = MemorySource(data, size);
    PayloadRefusal refusal;
    WalkPayload(&source, start, NameRules(), nullptr, nullptr, &refusal);
    return refusal.fault;
}

uint8_t ByteAt(const uint8_t* data, size_t size, uint64_t at) { return at < size ? data[at] : 0; }

}  // namespace

void FuzzPayload(const uint8_t* data, size_t size) {
    SetUpOnce();
    Check(ftruncate(g_file, 0) == 0 && pwrite(g_file, data, size, 0) == (ssize_t)size,
          "the input is written");
    Check(lseek(g_file, 0, SEEK_SET) == 0, "the input is rewound");

    // Without "MZ" at the start and "PE" where it points, there is no section
    // to end behind: the payload starts at 0.
    uint32_t start = GetEXESize(g_path);
    uint64_t header = ByteAt(data, size, 60) | (ByteAt(data, size, 61) << 8);
    bool signed_pe = ByteAt(data, size, 0) == 'M' && ByteAt(data, size, 1) == 'Z' &&
                     ByteAt(data, size, header) == 'P' && ByteAt(data, size, header + 1) == 'E';
    if (!signed_pe) Check(start == 0, "no payload start without both signatures");

    int verdict = Validate(start);
    Check(verdict == 0 || verdict == 1, "validation answers 1 or 0");
    // The same walk with the rules instead of trial files: a broken structure
    // is refused by both, and a name the rules accept the file system accepts.
    PayloadFault rules = RulesVerdict(data, size, start);
    if (rules != PAYLOAD_SOUND && rules != PAYLOAD_NAME_REFUSED)
        Check(verdict == 0, "validation refuses a payload with a broken record");
    if (rules == PAYLOAD_SOUND) Check(verdict == 1, "validation accepts what the rules accept");
    if (verdict != 1) return;

    // An accepted payload: every name stays below the destination, and the
    // extraction's record walk ends exactly at the end of the file.
    Check(SetFilePointer64(g_file, start, FILE_BEGIN) == (int64_t)start, "seek to the payload");
    EntryRecord record;
    bool at_end = false;
    Cause read;
    while ((read = ReadEntryRecord(g_file, &record, &at_end).cause) == CAUSE_OK && !at_end) {
        Check(IsSafeName(std::string(record.name, record.nameLength)),
              "validation accepts only names safe below a destination");
        SetFilePointer64(g_file, record.storedSize, FILE_CURRENT);
    }
    Check(read == CAUSE_OK && at_end, "the walk reads every record");
    Check(SetFilePointer64(g_file, 0, FILE_CURRENT) == (int64_t)size,
          "the walk ends exactly at the end of the file");
}
