// What an operation below the C API comes to: a Status, one cause from a
// single list plus the system's error number behind it. Every layer below the
// API answers one (platform, codec, payload, decoder and the library's own
// code); the API turns it into a qv_status and a qv_error.
#pragma once

#include <stdint.h>

enum Cause {
    CAUSE_OK = 0,
    CAUSE_DAMAGED,       // the data lies outside the format
    CAUSE_NO_MEMORY,     // a buffer or table could not be had
    CAUSE_READ_FAILED,   // reading the input failed
    CAUSE_WRITE_FAILED,  // writing the output failed, or a folder cannot be made
    CAUSE_CANCELLED,     // the caller asked to stop
    CAUSE_TOO_LARGE,     // a size the format cannot hold
    // What only the library meets: its callers' arguments and the disk.
    CAUSE_INVALID,         // a wrong argument or option
    CAUSE_OPEN_FAILED,     // a file cannot be opened, or is no regular file
    CAUSE_REFUSED,         // the archive is broken or unsafe: nothing may be read
    CAUSE_UNSAFE_NAME,     // a name that cannot be one here, or that collides
    CAUSE_EXISTS,          // something of that name exists and was left alone
    CAUSE_CANNOT_STORE,    // a name or file that an archive cannot hold
    CAUSE_CHANGED,         // a file changed while it was read
    CAUSE_NOT_FOUND,       // no such entry, or no stub
    CAUSE_ENTRIES_FAILED,  // the work went on, but some entries failed (each reported)
};

struct Status {
    Cause cause;
    uint32_t system_error;  // errno, or GetLastError on Windows; 0 when none

    bool ok() const { return cause == CAUSE_OK; }
};

const Status STATUS_OK = {CAUSE_OK, 0};

inline Status Failed(Cause cause, uint32_t system_error = 0) {
    Status status = {cause, system_error};
    return status;
}
