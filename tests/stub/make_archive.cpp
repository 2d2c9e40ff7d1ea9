// Builds self-extracting archives for the stub's scenario tests, including
// payloads that the writer would never make: corrupt streams, broken records,
// names with awkward code page 932 bytes.
//
//   stub_make_archive OUT [--stub STUB] < SCRIPT
//
// SCRIPT holds one record per line (empty lines and lines starting with # are
// ignored). TIME is a FILETIME count or YYYY-MM-DDTHH:MM:SS (UTC); ATTR is hex.
// Strings are UTF-8 (converted to code page 932); quote them when they hold
// spaces. A backslash is an ordinary character; escapes: %r %n (CR, LF), %q (a
// double quote), %% and %XX (the raw byte of two hex digits).
//
//   dir     NAME CTIME ATIME WTIME ATTR
//   empty   NAME CTIME ATIME WTIME ATTR
//   text    NAME CTIME ATIME WTIME ATTR STRING      compressed contents
//   file    NAME CTIME ATIME WTIME ATTR PATH        compressed copy of a file
//   random  NAME CTIME ATIME WTIME ATTR SIZE SEED   compressed pseudo-random text
//   corrupt NAME CTIME ATIME WTIME ATTR STRING      a stream that stage 1 refuses
//   raw     NAME CTIME ATIME WTIME ATTR ORIGINAL HEXBYTES   stored bytes as given
//   tree    PREFIX DIR        every folder and file below DIR, sorted, as PREFIX\...
//   noise   PATH SIZE SEED    writes PseudoRandomBytes(SEED, SIZE) to PATH (no record)
//   nameless                  a record with nameLength 0
//   cut     N                 drop the last N bytes of what has been written
#include <dirent.h>
#include <errno.h>
#include <iconv.h>
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "codec/012coding.h"
#include "codec/compress.h"
#include "decoder/stage_files.h"
#include "payload/records.h"
#include "platform/platform.h"
#include "tests/writer/pseudo_random.h"

namespace {

typedef std::vector<uint8_t> Bytes;

[[noreturn]] void Fail(int line, const std::string& what) {
    fprintf(stderr, "stub_make_archive: line %d: %s\n", line, what.c_str());
    exit(2);
}

std::string ToCp932(const std::string& utf8, int line) {
    if (utf8.empty()) return utf8;
    iconv_t cd = iconv_open("CP932", "UTF-8");
    if (cd == (iconv_t)-1) Fail(line, "iconv cannot convert to CP932");
    std::string out(utf8.size() * 2 + 4, '\0');
    char* in = const_cast<char*>(utf8.data());
    size_t in_left = utf8.size();
    char* dst = &out[0];
    size_t out_left = out.size();
    size_t r = iconv(cd, &in, &in_left, &dst, &out_left);
    iconv_close(cd);
    if (r == (size_t)-1) Fail(line, "not representable in code page 932: " + utf8);
    out.resize(out.size() - out_left);
    return out;
}

// Splits a line into tokens; literal text is converted to code page 932 piece
// by piece so that %XX escapes stay raw bytes.
std::vector<std::string> Tokens(const std::string& text, int line) {
    std::vector<std::string> tokens;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) i++;
        if (i >= text.size()) break;
        bool quoted = text[i] == '"';
        if (quoted) i++;
        std::string token, literal;
        auto flush = [&]() {
            token += ToCp932(literal, line);
            literal.clear();
        };
        while (i < text.size()) {
            char c = text[i];
            if (quoted ? c == '"' : (c == ' ' || c == '\t')) break;
            if (c == '%' && i + 1 < text.size()) {
                char e = text[i + 1];
                if (i + 2 < text.size() && isxdigit((unsigned char)e) &&
                    isxdigit((unsigned char)text[i + 2])) {
                    flush();
                    token += (char)strtol(text.substr(i + 1, 2).c_str(), nullptr, 16);
                    i += 3;
                    continue;
                }
                literal += e == 'r' ? '\r' : e == 'n' ? '\n' : e == 'q' ? '"' : e;
                i += 2;
                continue;
            }
            literal += c;
            i++;
        }
        if (quoted) {
            if (i >= text.size()) Fail(line, "unterminated string");
            i++;
        }
        flush();
        tokens.push_back(token);
    }
    return tokens;
}

uint64_t ParseTime(const std::string& text, int line) {
    int y, mo, d, h, mi, s;
    if (sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d", &y, &mo, &d, &h, &mi, &s) == 6) {
        struct tm t = {};
        t.tm_year = y - 1900;
        t.tm_mon = mo - 1;
        t.tm_mday = d;
        t.tm_hour = h;
        t.tm_min = mi;
        t.tm_sec = s;
        return (uint64_t)((int64_t)timegm(&t) * 10000000 + 116444736000000000LL);
    }
    char* end = nullptr;
    uint64_t value = strtoull(text.c_str(), &end, 10);
    if (text.empty() || *end) Fail(line, "bad time: " + text);
    return value;
}

uint64_t TimeFromStat(const struct timespec& t) {
    return (uint64_t)((int64_t)t.tv_sec * 10000000 + t.tv_nsec / 100 + 116444736000000000LL);
}

struct Times {
    uint64_t creation, access, write;
};

void PutRecord(Bytes* out, const std::string& name, const Times& t, uint16_t attr,
               uint32_t original, const Bytes& stored, int line) {
    if (name.empty() || name.size() > 255) Fail(line, "name must be 1..255 bytes");
    EntryRecord record;
    record.nameLength = (uint8_t)name.size();
    memcpy(record.name, name.data(), name.size());
    record.creationTime = t.creation;
    record.lastAccessTime = t.access;
    record.lastWriteTime = t.write;
    record.attributeWord = attr;
    record.originalSize = original;
    record.storedSize = (uint32_t)stored.size();
    uint8_t bytes[RECORD_MAX_SIZE];
    out->insert(out->end(), bytes, bytes + EncodeEntryRecord(&record, bytes));
    out->insert(out->end(), stored.begin(), stored.end());
}

// Compresses `data`; the rule the writer chose goes into the attribute word.
Bytes Compress(const std::string& data, uint16_t* attr, int line) {
    Bytes stored;
    CompressResult r = compress_buffer((const uint8_t*)data.data(), data.size(),
                                       CompressOptions{false, 1}, &stored);
    if (r.status.cause != CAUSE_OK)
        Fail(line, std::string("writer failed: ") + (r.error ? r.error : "?"));
    *attr = (uint16_t)((*attr & ~0x2000) | (r.odd_rescale ? 0x2000 : 0));
    return stored;
}

// True when stage 1 accepts `stored`; run on real files as the stub does.
bool StageOneAccepts(const Bytes& stored, bool odd_rescale) {
    char in_path[] = "/tmp/stub_make_archive_XXXXXX";
    char out_path[] = "/tmp/stub_make_archive_XXXXXX";
    int in_fd = mkstemp(in_path), out_fd = mkstemp(out_path);
    if (in_fd < 0 || out_fd < 0) Fail(0, "cannot make temporary files");
    if (!stored.empty() && !WriteBytes(in_fd, stored.data(), (uint32_t)stored.size()).ok()) {
        Fail(0, "cannot write temporary file");
    }
    Cause result =
        coding012_decode(in_fd, out_fd, odd_rescale ? 1 : 0, NO_PUMP, NO_OUTPUT_LIMIT).cause;
    close(in_fd);
    close(out_fd);
    unlink(in_path);
    unlink(out_path);
    return result == CAUSE_OK;
}

// A stored stream for `data` that stage 1 reports as damaged: the valid stream
// with one byte changed, trying positions until the decoder refuses it.
Bytes Corrupt(const std::string& data, uint16_t* attr, int line) {
    Bytes stored = Compress(data, attr, line);
    bool odd = (*attr & 0x2000) != 0;
    for (size_t i = 0; i < stored.size(); i++) {
        for (uint8_t flip : {0xFF, 0x80, 0x01}) {
            Bytes broken = stored;
            broken[i] ^= flip;
            if (!StageOneAccepts(broken, odd)) return broken;
        }
    }
    Fail(line, "found no change that stage 1 refuses");
}

std::string ReadFile(const std::string& path, int line) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) Fail(line, "cannot open " + path);
    std::string data;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) data.append(buffer, n);
    fclose(f);
    return data;
}

// Text that compresses like ordinary prose: words drawn from a small list.
std::string RandomText(size_t size, uint32_t seed) {
    static const char* const words[] = {"alpha ",  "beta ", "gamma\n", "delta ", "epsilon ",
                                        "zeta ",   "eta, ", "theta ",  "iota. ", "kappa\n",
                                        "lambda ", "mu ",   "nu ",     "xi ",    "omicron "};
    std::string text;
    text.reserve(size + 16);
    uint32_t state = seed;
    while (text.size() < size) {
        state = state * 1664525u + 1013904223u;
        text += words[(state >> 16) % 15];
        if ((state >> 8) % 7 == 0) text += std::to_string(state % 1000);
    }
    text.resize(size);
    return text;
}

void AddTree(Bytes* out, const std::string& prefix, const std::string& dir, int line) {
    DIR* d = opendir(dir.c_str());
    if (!d) Fail(line, "cannot read folder " + dir);
    std::vector<std::string> names;
    while (struct dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) {
        std::string path = dir + "/" + n;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) continue;
        std::string name = prefix + "\\" + ToCp932(n, line);
        Times t = {TimeFromStat(st.st_mtim), TimeFromStat(st.st_atim), TimeFromStat(st.st_mtim)};
        if (S_ISDIR(st.st_mode)) {
            PutRecord(out, name + "\\", t, 0x10, 0, Bytes(), line);
            AddTree(out, name, path, line);
        } else if (S_ISREG(st.st_mode)) {
            std::string data = ReadFile(path, line);
            uint16_t attr = 0x20;
            Bytes stored = data.empty() ? Bytes() : Compress(data, &attr, line);
            PutRecord(out, name, t, attr, (uint32_t)data.size(), stored, line);
        }
    }
}

Bytes ParseHex(const std::string& hex, int line) {
    Bytes bytes;
    if (hex.size() % 2) Fail(line, "odd number of hex digits");
    for (size_t i = 0; i < hex.size(); i += 2) {
        bytes.push_back((uint8_t)strtol(hex.substr(i, 2).c_str(), nullptr, 16));
    }
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && !(argc == 4 && strcmp(argv[2], "--stub") == 0)) {
        fprintf(stderr, "usage: stub_make_archive OUT [--stub STUB] < SCRIPT\n");
        return 2;
    }
    Bytes out;
    if (argc == 4) {
        std::string stub = ReadFile(argv[3], 0);
        out.assign(stub.begin(), stub.end());
    }
    char buffer[8192];
    int line = 0;
    while (fgets(buffer, sizeof buffer, stdin)) {
        line++;
        std::string text(buffer);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        std::vector<std::string> t = Tokens(text, line);
        if (t.empty() || t[0][0] == '#') continue;
        const std::string& kind = t[0];
        if (kind == "nameless") {
            out.push_back(0);
            continue;
        }
        if (kind == "cut") {
            if (t.size() != 2) Fail(line, "cut N");
            size_t n = strtoul(t[1].c_str(), nullptr, 10);
            if (n > out.size()) Fail(line, "cut beyond the start");
            out.resize(out.size() - n);
            continue;
        }
        if (kind == "noise") {
            if (t.size() != 4) Fail(line, "noise PATH SIZE SEED");
            Bytes noise = PseudoRandomBytes(strtoull(t[3].c_str(), nullptr, 10),
                                            strtoul(t[2].c_str(), nullptr, 10));
            FILE* f = fopen(t[1].c_str(), "wb");
            if (!f || fwrite(noise.data(), 1, noise.size(), f) != noise.size() || fclose(f) != 0)
                Fail(line, "cannot write " + t[1]);
            continue;
        }
        if (kind == "tree") {
            if (t.size() != 3) Fail(line, "tree PREFIX DIR");
            AddTree(&out, t[1], t[2], line);
            continue;
        }
        if (t.size() < 6) Fail(line, "NAME CTIME ATIME WTIME ATTR expected");
        Times times = {ParseTime(t[2], line), ParseTime(t[3], line), ParseTime(t[4], line)};
        uint16_t attr = (uint16_t)strtoul(t[5].c_str(), nullptr, 16);
        const std::string& name = t[1];
        if (kind == "dir" || kind == "empty") {
            PutRecord(&out, name, times, attr, 0, Bytes(), line);
        } else if (kind == "text" || kind == "file" || kind == "corrupt" || kind == "random") {
            if (t.size() < 7) Fail(line, "contents expected");
            std::string data;
            if (kind == "file") {
                data = ReadFile(t[6], line);
            } else if (kind == "random") {
                if (t.size() != 8) Fail(line, "random ... SIZE SEED");
                data = RandomText(strtoul(t[6].c_str(), nullptr, 10),
                                  (uint32_t)strtoul(t[7].c_str(), nullptr, 10));
            } else {
                data = t[6];
            }
            if (data.empty()) Fail(line, "compressed entries need contents");
            Bytes stored =
                kind == "corrupt" ? Corrupt(data, &attr, line) : Compress(data, &attr, line);
            PutRecord(&out, name, times, attr, (uint32_t)data.size(), stored, line);
        } else if (kind == "raw") {
            if (t.size() != 8) Fail(line, "raw ... ORIGINAL HEXBYTES");
            PutRecord(&out, name, times, attr, (uint32_t)strtoul(t[6].c_str(), nullptr, 10),
                      ParseHex(t[7], line), line);
        } else {
            Fail(line, "unknown record kind " + kind);
        }
    }
    FILE* f = fopen(argv[1], "wb");
    if (!f || fwrite(out.data(), 1, out.size(), f) != out.size() || fclose(f) != 0) {
        fprintf(stderr, "stub_make_archive: cannot write %s: %s\n", argv[1], strerror(errno));
        return 2;
    }
    return 0;
}
