// The message pump the extractor hands to the decode chain: it keeps the
// window answering while an entry decodes inside the window procedure.
#pragma once

#include <windows.h>
#include <stdint.h>

#include "platform/platform.h"

// State of a tick-throttled pump: the GetTickCount value of its last pump and
// the number of DoEvents steps it has made so far.
struct TickPumpState {
    DWORD lastTick;
    uint32_t steps;
};

// Most DoEvents steps one pump makes when many messages wait.
const uint32_t MAX_PUMP_STEPS = 64;

// Pump function over a TickPumpState: nothing while GetTickCount() still shows
// the tick of the last pump; otherwise one DoEvents step, and further steps
// while messages wait, MAX_PUMP_STEPS at most.
void TickThrottledPump(void* state);

// The hook handed to every decode stage: TickThrottledPump over one
// process-wide state.
MessagePump DecodePump();
