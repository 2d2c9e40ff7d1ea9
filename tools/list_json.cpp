// list --json: every field of the listing as one JSON document, for scripts.
#include <stdio.h>

#include <string>

#include "tools/commands.h"
#include "tools/patterns.h"

namespace {

// A JSON string; bytes that are not valid UTF-8 never reach it (the callers
// give UTF-8 or nothing), control characters are escaped.
std::string Quoted(const std::string& text) {
    std::string quoted = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += (char)c;
        } else if (c < 0x20 || c == 0x7F) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            quoted += escape;
        } else {
            quoted += (char)c;
        }
    }
    return quoted + "\"";
}

std::string Hex(const char* bytes, size_t length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < length; i++) {
        hex += kDigits[(unsigned char)bytes[i] >> 4];
        hex += kDigits[(unsigned char)bytes[i] & 15];
    }
    return hex;
}

// Year, month and day of a day count from 1970-01-01 (proleptic Gregorian).
void CivilFromDays(int64_t days, int64_t* year, int* month, int* day) {
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    int64_t day_of_era = days - era * 146097;
    int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    int64_t shifted_month = (5 * day_of_year + 2) / 153;
    *day = (int)(day_of_year - (153 * shifted_month + 2) / 5 + 1);
    *month = (int)(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
    *year = year_of_era + era * 400 + (*month <= 2);
}

// ISO 8601 in UTC, to the 100 ns a FILETIME keeps; null for 0 (not kept).
std::string IsoTime(uint64_t filetime) {
    if (filetime == 0) return "null";
    uint32_t nanoseconds = 0;
    int64_t seconds = qv_filetime_to_unix(filetime, &nanoseconds);
    int64_t days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
    int64_t in_day = seconds - days * 86400;
    int64_t year;
    int month, day;
    CivilFromDays(days, &year, &month, &day);
    char text[64];
    snprintf(text, sizeof text, "\"%04lld-%02d-%02dT%02d:%02d:%02d", (long long)year, month, day,
             (int)(in_day / 3600), (int)(in_day / 60 % 60), (int)(in_day % 60));
    std::string iso = text;
    if (nanoseconds != 0) {
        snprintf(text, sizeof text, ".%07u", nanoseconds / 100);
        iso += text;
    }
    return iso + "Z\"";
}

std::string AttributeNames(uint16_t attributes) {
    static const char* const kNames[13] = {
        "readonly", "hidden",    "system", "volume",        "directory",  "archive", "device",
        "normal",   "temporary", "sparse", "reparse_point", "compressed", "offline"};
    std::string names = "[";
    for (int bit = 0; bit < 13; bit++) {
        if (!(attributes & (1u << bit))) continue;
        if (names.size() > 1) names += ", ";
        names += Quoted(kNames[bit]);
    }
    return names + "]";
}

std::string Number(uint64_t value) { return std::to_string(value); }

}  // namespace

void PrintListJson(qv_archive* archive, EntryPatterns* patterns) {
    uint64_t files = 0, folders = 0, original = 0, stored = 0;
    printf("{\n  \"payload_start\": %s,\n  \"entries\": [",
           Number(qv_payload_start(archive)).c_str());
    qv_entry e;
    e.struct_size = sizeof e;
    bool first = true;
    for (size_t i = 0; qv_entry_at(archive, i, &e) == QV_OK; i++) {
        if (!patterns->Choose(e)) continue;
        bool folder = e.kind == QV_FOLDER;
        (folder ? folders : files)++;
        original += e.original_size;
        stored += e.stored_size;
        std::string ratio = e.original_size == 0
                                ? "null"
                                : std::to_string((double)e.stored_size / (double)e.original_size);
        printf(
            "%s\n    {\"name\": %s, \"name_hex\": \"%s\", \"kind\": \"%s\",\n"
            "     \"original_size\": %u, \"stored_size\": %u, \"ratio\": %s,\n"
            "     \"creation_time\": %s, \"last_access_time\": %s, \"last_write_time\": %s,\n"
            "     \"attributes\": %s, \"attribute_bits\": %u,\n"
            "     \"rescale_rule\": %s, \"narrow_interval\": %s}",
            first ? "" : ",", e.name_utf8 ? Quoted(e.name_utf8).c_str() : "null",
            Hex(e.name, e.name_length).c_str(), folder ? "folder" : "file", e.original_size,
            e.stored_size, ratio.c_str(), IsoTime(e.creation_time).c_str(),
            IsoTime(e.last_access_time).c_str(), IsoTime(e.last_write_time).c_str(),
            AttributeNames(e.attributes).c_str(), e.attributes,
            folder          ? "null"
            : e.odd_rescale ? "\"odd\""
                            : "\"even\"",
            e.narrow_interval < 0 ? "null"
            : e.narrow_interval   ? "true"
                                  : "false");
        first = false;
    }
    printf(
        "%s],\n  \"files\": %s,\n  \"folders\": %s,\n  \"original_size\": %s,\n"
        "  \"stored_size\": %s\n}\n",
        files + folders ? "\n  " : "", Number(files).c_str(), Number(folders).c_str(),
        Number(original).c_str(), Number(stored).c_str());
}
