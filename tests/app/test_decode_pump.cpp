// The pump the decode chain hands to its stages: it steps DoEvents only when
// the system tick has moved on, then handles every waiting message up to a
// bound. Run with a real window under Wine; the last test measures it against
// a pump that steps DoEvents once per call, and the longest time the window
// waits between two calls.
#include <gtest/gtest.h>
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "app/decode_pump.h"
#include "app/window_services.h"
#include "codec/012coding.h"
#include "codec/BlockSorting.h"
#include "codec/MoveToFront.h"
#include "decoder/stage_files.h"
#include "decoder/work_files.h"
#include "tests/app/test_window.h"
#include "tests/codec/codec_test_util.h"
#include "tests/decoder/work_files_support.h"

namespace {

class PumpTest : public WorkFolderTest {
protected:
    void SetUp() override {
        WorkFolderTest::SetUp();
        window = OpenMainWindow(&counts);
        ASSERT_NE((HWND)NULL, window);
    }
    void TearDown() override {
        CloseMainWindow(window);
        WorkFolderTest::TearDown();
    }

    HWND window = NULL;
    WindowCounts counts;
};

// Stage-4 input of `size` expanded bytes of a small alphabet, and its stored form.
void MakeEntry(uint32_t size, Bytes* stage4Input, Bytes* stored) {
    *stage4Input = RleEncode(RandomBytes(size, 2024, 16));
    ASSERT_TRUE(StoredStreamFor(*stage4Input, stored));
}

double Now() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart / (double)frequency.QuadPart;
}

// A pump that steps DoEvents on every call, as the stages' call sites alone
// would, and notes the longest time between two calls.
struct EveryCallPump {
    uint32_t steps = 0;
    double last = Now();
    double longest_gap = 0;
    static void Step(void* context) {
        EveryCallPump* self = (EveryCallPump*)context;
        self->steps++;
        double now = Now();
        if (now - self->last > self->longest_gap) self->longest_gap = now - self->last;
        self->last = now;
        DoEvents();
    }
    MessagePump pump() { return MessagePump{Step, this}; }
};

struct ChainRun {
    Bytes second;
    double seconds;
};

// Stages 1-3 between two scratch files, as DecodeStoredEntry runs them.
ChainRun RunStagesWith(const Bytes& stored, MessagePump pump) {
    FakeExecutable first(Bytes(), stored, Bytes());
    FakeExecutable second{Bytes(), Bytes(), Bytes()};
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    EXPECT_EQ(CAUSE_OK,
              coding012_decode(first.handle, second.handle, 0, pump, NO_OUTPUT_LIMIT).cause);
    EXPECT_EQ(CAUSE_OK, mtf_decode(second.handle, first.handle, pump).cause);
    EXPECT_EQ(CAUSE_OK, blocksort_decode(first.handle, second.handle, pump).cause);
    QueryPerformanceCounter(&end);
    ChainRun run;
    run.seconds = (double)(end.QuadPart - start.QuadPart) / (double)frequency.QuadPart;
    run.second = ReadWhole(second.handle);
    return run;
}

}  // namespace

TEST_F(PumpTest, NothingHappensWhileTheTickStands) {
    PostNotes(window, 1);
    TickPumpState state = {0, 0};
    bool stood = false;
    for (int tries = 0; tries < 500 && !stood; tries++) {
        if (QueueEmpty()) PostNotes(window, 1);
        uint32_t notesBefore = counts.notes;
        uint32_t stepsBefore = state.steps;
        DWORD tick = GetTickCount();
        state.lastTick = tick;
        TickThrottledPump(&state);
        if (GetTickCount() != tick) continue;  // the tick moved on meanwhile: try again
        stood = true;
        EXPECT_EQ(notesBefore, counts.notes);
        EXPECT_EQ(stepsBefore, state.steps);
        EXPECT_FALSE(QueueEmpty());
    }
    ASSERT_TRUE(stood);
}

TEST_F(PumpTest, ANewTickHandlesEveryWaitingMessage) {
    PostNotes(window, 5);
    TickPumpState state = {GetTickCount() - 1, 0};
    TickThrottledPump(&state);
    EXPECT_EQ(5u, counts.notes);
    EXPECT_EQ(5u, state.steps);
    EXPECT_TRUE(QueueEmpty());

    // An empty queue costs one step per tick.
    state.lastTick = GetTickCount() - 1;
    TickThrottledPump(&state);
    EXPECT_EQ(6u, state.steps);
    EXPECT_EQ(5u, counts.notes);
}

TEST_F(PumpTest, OnePumpMakesAtMost64Steps) {
    PostNotes(window, 100);
    TickPumpState state = {GetTickCount() - 1, 0};
    TickThrottledPump(&state);
    EXPECT_EQ(MAX_PUMP_STEPS, counts.notes);
    EXPECT_EQ(64u, state.steps);
    EXPECT_FALSE(QueueEmpty());
    state.lastTick = GetTickCount() - 1;
    TickThrottledPump(&state);
    EXPECT_EQ(100u, counts.notes);
    EXPECT_EQ(100u, counts.lastNote);
    EXPECT_EQ(100u, state.steps);
}

TEST_F(PumpTest, DecodingKeepsTheWindowAnswering) {
    Bytes stage4Input, stored;
    MakeEntry(256 * 1024, &stage4Input, &stored);
    FakeExecutable exe(Bytes(), stored, Bytes());
    PostNotes(window, 10);
    WorkFiles files;
    ASSERT_EQ(CAUSE_OK, DecodeWithFiles(exe.handle, (uint32_t)stored.size(), 0, 256 * 1024, &files,
                                        DecodePump()));
    // The notes were handled by the stages' pump calls, inside the decode.
    EXPECT_EQ(10u, counts.notes);
    EXPECT_TRUE(stage4Input == ReadWhole(files.second));
    CloseWorkFiles(&files);
}

// Measures both pumps on the same entry. The size is 64 KiB by default, to keep
// the suite fast; set QUORVANE_PUMP_MEASURE_BYTES (e.g. 4194304) to measure more.
TEST_F(PumpTest, ThrottledPumpStepsAtMostOncePerTick) {
    uint32_t size = 64 * 1024;
    if (const char* asked = getenv("QUORVANE_PUMP_MEASURE_BYTES")) size = (uint32_t)atol(asked);
    Bytes stage4Input, stored;
    MakeEntry(size, &stage4Input, &stored);

    EveryCallPump everyCall;
    ChainRun perCall = RunStagesWith(stored, everyCall.pump());
    TickPumpState state = {0, 0};
    ChainRun throttled = RunStagesWith(stored, MessagePump{TickThrottledPump, &state});

    // Same output with either pump.
    EXPECT_TRUE(stage4Input == perCall.second);
    EXPECT_TRUE(stage4Input == throttled.second);
    // Stage 1 pumps once per interval of the bytes it writes, which are at
    // least the bytes of stage 3's output; stages 2 and 3 pump per chunk and block.
    EXPECT_GE(everyCall.steps, (uint32_t)stage4Input.size() / STAGE1_PUMP_INTERVAL + 3);
    // With an idle queue the throttled pump steps once per tick at most.
    double elapsedMs = throttled.seconds * 1000.0;
    EXPECT_LE((double)state.steps, elapsedMs + 2.0);

    printf("pump measurement: %u expanded bytes, %u stored bytes\n", size, (unsigned)stored.size());
    printf("  DoEvents every call: %u steps, %.3f s, longest gap %.1f ms\n", everyCall.steps,
           perCall.seconds, everyCall.longest_gap * 1000.0);
    printf("  tick-throttled:      %u steps, %.3f s\n", state.steps, throttled.seconds);
    RecordProperty("every_call_steps", (int)everyCall.steps);
    RecordProperty("throttled_steps", (int)state.steps);
    RecordProperty("longest_gap_us", (int)(everyCall.longest_gap * 1e6));
}
