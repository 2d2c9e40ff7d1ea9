#include "app/decode_pump.h"

#include "app/window_services.h"

void TickThrottledPump(void* context) {
    TickPumpState* state = (TickPumpState*)context;
    DWORD now = GetTickCount();
    if (now == state->lastTick) return;
    state->lastTick = now;
    MSG waiting;
    uint32_t steps = 0;
    do {
        DoEvents();
        steps++;
    } while (steps < MAX_PUMP_STEPS && PeekMessageA(&waiting, NULL, 0, 0, PM_NOREMOVE));
    state->steps += steps;
}

// The decode chain's pump state, shared by every entry of the process.
static TickPumpState DecodePumpState = {0, 0};

MessagePump DecodePump() {
    MessagePump pump = {TickThrottledPump, &DecodePumpState};
    return pump;
}
