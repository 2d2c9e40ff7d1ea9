// The decode chain of the extractor stub with the message pump unthrottled:
// every call of the hook performs exactly one DoEvents step, once per decoded
// byte in stage 1. Built only so that bench/stub-extract can measure what the
// tick throttle saves; never shipped. The throttled hook sees a new tick on
// every call and no further waiting message, so it makes a single DoEvents.
#include <windows.h>

static DWORD NewTickEveryCall() {
    static DWORD tick;
    return ++tick;
}

static BOOL NoFurtherMessage(LPMSG, HWND, UINT, UINT, UINT) { return FALSE; }

#define GetTickCount NewTickEveryCall
#define PeekMessageA NoFurtherMessage
#include "app/decode_pump.cpp"
