// What an operation below the C API comes to: one cause from a single list.
// The codec (its decoders and its writer), the payload reader and the entry
// decoder answer causes from it; the library's own layer turns them into
// qv_status codes.
#pragma once

enum Cause {
    CAUSE_OK = 0,
    CAUSE_DAMAGED,       // the data lies outside the format
    CAUSE_NO_MEMORY,     // a buffer or table could not be had
    CAUSE_READ_FAILED,   // reading the input failed
    CAUSE_WRITE_FAILED,  // writing the output failed
    CAUSE_CANCELLED,     // the caller asked to stop
    CAUSE_TOO_LARGE,     // a size the format cannot hold
};
