// What a decode stage, or the decoding of a whole entry, comes to. The causes
// stay apart so that a full disk is never reported as a damaged archive.
#pragma once

enum DecodeResult {
    DECODE_OK = 0,
    DECODE_DAMAGED,       // the data lies outside the format
    DECODE_NO_MEMORY,     // a buffer or table could not be had
    DECODE_READ_FAILED,   // reading the input failed
    DECODE_WRITE_FAILED,  // writing the output failed
};
