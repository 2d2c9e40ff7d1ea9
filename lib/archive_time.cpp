#include "lib/archive_time.h"

#include <ctype.h>

namespace {

const int64_t FIRST_SECOND = -UNIX_EPOCH_IN_FILETIME_SECONDS;  // 1601-01-01 00:00:00
const int64_t LAST_SECOND = 253402300799LL;                    // 9999-12-31 23:59:59

bool ToFiletime(int64_t unix_seconds, uint64_t* filetime) {
    if (unix_seconds < FIRST_SECOND || unix_seconds > LAST_SECOND) return false;
    *filetime = FiletimeOfUnix(unix_seconds, 0);
    return true;
}

// Reads `count` digits at `*at` as a number and moves past them.
bool Digits(const std::string& text, size_t* at, size_t count, int64_t* value) {
    if (*at + count > text.size()) return false;
    *value = 0;
    for (size_t i = 0; i < count; i++) {
        char c = text[*at + i];
        if (!isdigit((unsigned char)c)) return false;
        *value = *value * 10 + (c - '0');
    }
    *at += count;
    return true;
}

bool Expect(const std::string& text, size_t* at, char c) {
    if (*at >= text.size() || text[*at] != c) return false;
    (*at)++;
    return true;
}

bool IsLeapYear(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int64_t DaysInMonth(int64_t year, int64_t month) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t DaysSinceUnixEpoch(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2;
    int64_t era = (year >= 0 ? year : year - 399) / 400;
    int64_t year_of_era = year - era * 400;
    int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

bool ParseSeconds(const std::string& digits, bool allow_sign, int64_t* seconds) {
    size_t at = 0;
    bool negative = allow_sign && !digits.empty() && digits[0] == '-';
    if (negative) at++;
    if (at == digits.size() || digits.size() - at > 12) return false;
    int64_t value;
    if (!Digits(digits, &at, digits.size() - at, &value)) return false;
    *seconds = negative ? -value : value;
    return true;
}

}  // namespace

uint64_t FiletimeOfUnix(int64_t seconds, uint32_t nanoseconds) {
    const uint64_t TICKS_PER_SECOND = 10000000u;
    if (seconds < FIRST_SECOND) return 0;
    // Compared before adding: the sum of a late time and the epoch's distance
    // would overflow.
    uint64_t since_1601 = (uint64_t)seconds + (uint64_t)UNIX_EPOCH_IN_FILETIME_SECONDS;
    uint64_t ticks = nanoseconds / 100;
    if (since_1601 > (UINT64_MAX - ticks) / TICKS_PER_SECOND) return UINT64_MAX;
    return since_1601 * TICKS_PER_SECOND + ticks;
}

bool ParseArchiveTime(const std::string& text, uint64_t* filetime) {
    int64_t seconds;
    if (!text.empty() && text[0] == '@') {
        return ParseSeconds(text.substr(1), true, &seconds) && ToFiletime(seconds, filetime);
    }
    size_t at = 0;
    int64_t year, month, day, hour = 0, minute = 0, second = 0;
    if (!Digits(text, &at, 4, &year) || !Expect(text, &at, '-') || !Digits(text, &at, 2, &month) ||
        !Expect(text, &at, '-') || !Digits(text, &at, 2, &day)) {
        return false;
    }
    if (at < text.size() && text[at] == 'T') {
        at++;
        if (!Digits(text, &at, 2, &hour) || !Expect(text, &at, ':') ||
            !Digits(text, &at, 2, &minute) || !Expect(text, &at, ':') ||
            !Digits(text, &at, 2, &second)) {
            return false;
        }
    }
    if (at < text.size() && text[at] == 'Z') at++;
    if (at != text.size() || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) ||
        hour > 23 || minute > 59 || second > 59) {
        return false;
    }
    seconds = DaysSinceUnixEpoch(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    return ToFiletime(seconds, filetime);
}

bool ParseEpochSeconds(const std::string& text, uint64_t* filetime) {
    int64_t seconds;
    return ParseSeconds(text, false, &seconds) && ToFiletime(seconds, filetime);
}
