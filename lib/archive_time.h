// Times as an archive stores them: FILETIMEs, 100-nanosecond intervals since
// 1601-01-01 UTC. Here: turning Unix times and the times a user gives into them.
#pragma once

#include <stdint.h>

#include <string>

// Seconds from 1601-01-01 (FILETIME's epoch) to 1970-01-01 (Unix time's).
const int64_t UNIX_EPOCH_IN_FILETIME_SECONDS = 11644473600LL;

// The FILETIME of a Unix time: 0 before 1601, the largest FILETIME for a
// time too late to have one, never a value that wrapped around.
uint64_t FiletimeOfUnix(int64_t seconds, uint32_t nanoseconds);

// A time for every entry of an archive: "@SECONDS" since the Unix epoch, or
// "YYYY-MM-DD[THH:MM:SS][Z]" in UTC. False when it is neither, names no real
// date, or lies outside the years 1601 to 9999.
bool ParseArchiveTime(const std::string& text, uint64_t* filetime);

// Whole seconds since the Unix epoch, digits only (how build tools hand a
// fixed time over in the environment). False otherwise.
bool ParseEpochSeconds(const std::string& text, uint64_t* filetime);
