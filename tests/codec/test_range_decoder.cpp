// Stage 1: the range decoder, the value model and the stage loop.
#include <gtest/gtest.h>

#include "codec/012coding.h"
#include "decoder/stage_files.h"
#include "tests/codec/codec_test_util.h"
#include "tests/test_hooks.h"

namespace {

const Bytes kEmptyStream = MakeBytes({0xFF, 0xEA, 0xAA, 0x7B, 0x00});
const Bytes kFiveValues = MakeBytes({0x45, 0x7E, 0xDE, 0xF5, 0x97, 0xE0, 0xAC, 0x00});
const Bytes kZerosOdd = MakeBytes({0x0A, 0xD0, 0xB5, 0x78, 0xFA, 0x00});
const Bytes kZerosPlain = MakeBytes({0x0A, 0xD0, 0xBA, 0xC7, 0x54, 0x00});

// Drives RC_DECODE by hand over a stream held in a file.
struct StepDecoder {
    TempFile file;
    FileHandle input;
    Bytes buffer;
    ModelSet m;
    RangeDecoder rc;
    int c0 = 0, c00 = 0, c000 = 0;
    int fNewType;
    int steps = 0;

    StepDecoder(const Bytes& stream, int odd, uint32_t buffer_size = 64)
        : file(stream), input(file.handle()), buffer(buffer_size), fNewType(odd) {
        init_global(&m);
        SetFilePointer64(input, 0, FILE_BEGIN);
        rc_start(&rc, RefillFromFile, &input, buffer.data(), buffer_size);
    }
    ~StepDecoder() { free_frequency(&m); }

    int Step(Frequency* t) {
        steps++;
        return RC_DECODE(t, &rc, fNewType);
    }
    // One value, or -1; counts the decode steps it took.
    int Value() {
        int cls = Step(m.freq_012[9 * c000 + 3 * c00 + c0]);
        if (cls < 0) return -1;
        c000 = c00;
        c00 = c0;
        c0 = cls;
        if (cls < 2) return cls;
        int e = Step(m.freq_first);
        if (e <= 0) return e < 0 ? -1 : 2;
        int mantissa = Step(m.freq_second[e]);
        return mantissa < 0 ? -1 : (1 << e) + mantissa + 1;
    }
    uint32_t consumed() const { return rc.LPos; }
};

TEST(RangeDecoder, WorkedExampleStepByStep) {
    for (int odd = 0; odd <= 1; odd++) {
        StepDecoder d(kEmptyStream, odd);
        EXPECT_EQ(d.rc.code, 0xFFEAAA7Bu);
        EXPECT_EQ(d.Step(d.m.freq_012[0]), 2);
        EXPECT_EQ(d.rc.low, 0xAAAAAAAAu);
        EXPECT_EQ(d.rc.range, 0x55555555u);
        EXPECT_EQ(d.Step(d.m.freq_first), 7);
        EXPECT_EQ(d.rc.low, 0xF5555550u);
        EXPECT_EQ(d.rc.range, 0x0AAAAAAAu);
        EXPECT_EQ(d.Step(d.m.freq_second[7]), 127);
        EXPECT_EQ(d.rc.low, 0xEAAA7B00u);
        EXPECT_EQ(d.rc.range, 0x15555500u);
        EXPECT_EQ(d.rc.code, 0xEAAA7B00u);
        EXPECT_EQ(d.consumed(), 5u);
        EXPECT_EQ(d.rc.past_end, 0u);
    }
}

TEST(RangeDecoder, FiveValuesTakeOneOneTwoThreeThreeSteps) {
    for (int odd = 0; odd <= 1; odd++) {
        StepDecoder d(kFiveValues, odd);
        const int values[] = {0, 1, 2, 3, 255, 256};
        const int steps[] = {1, 1, 2, 3, 3, 3};
        for (int i = 0; i < 6; i++) {
            int before = d.steps;
            EXPECT_EQ(d.Value(), values[i]) << i;
            EXPECT_EQ(d.steps - before, steps[i]) << i;
        }
        EXPECT_EQ(d.consumed(), 8u);
        EXPECT_EQ(d.rc.past_end, 0u);
    }
}

TEST(RangeDecoder, ValuesThreeAndFourUseTheTwoSymbolMantissaTable) {
    Bytes stream;
    ASSERT_TRUE(RangeEncode(MakeBytes({3, 4, 2}), 1, &stream));
    StepDecoder d(stream, 1);
    EXPECT_EQ(d.Value(), 3);
    EXPECT_EQ(d.Value(), 4);
    EXPECT_EQ(d.m.freq_second[1]->count[0], 4);
    EXPECT_EQ(d.m.freq_second[1]->count[1], 4);
    int before = d.steps;
    EXPECT_EQ(d.Value(), 2);
    EXPECT_EQ(d.steps - before, 2);
    for (int e = 2; e <= 7; e++) EXPECT_EQ(GET_SUM(d.m.freq_second[e]), 1 << e);
}

// 2 and 200 both enter the context as class 2, so the next value is decoded
// with the same class table.
TEST(RangeDecoder, ValuesTwoAndTwoHundredLeaveTheSameContext) {
    for (int first : {2, 200}) {
        Bytes stream;
        ASSERT_TRUE(RangeEncode(MakeBytes({first, 1}), 0, &stream));
        StepDecoder d(stream, 0);
        EXPECT_EQ(d.Value(), first);
        EXPECT_EQ(d.Value(), 1);
        // Context after the first value is 9*0 + 3*0 + 2.
        EXPECT_EQ(d.m.freq_012[2]->count[1], 4) << first;
    }
}

// A range below the table's total (`tmp` would be 0). Here `low` lies 4 below
// a multiple of 2048, so the widening takes two rounds: range 4 * 256, still
// too narrow, then 1024 * 256.
TEST(RangeDecoder, NarrowRangeIsWidenedBeforeTheStep) {
    StepDecoder d(MakeBytes({0, 0, 0, 0, 0x11, 0x22, 0x33, 0x44}), 0);
    Frequency* t = d.m.freq_second[7];
    for (int i = 0; i < 500; i++) update_frequency(t, 5, 0);  // stored sum 2000, total 2128
    d.rc.range = 2100;
    d.rc.low = 0x123457FC;
    d.rc.code = 0x123457FE;
    EXPECT_EQ(RC_DECODE(t, &d.rc, 0), 5);
    EXPECT_EQ(d.rc.widened_steps, 1u);
    // Two bytes taken in by the widening and one by the first normalisation.
    EXPECT_EQ(d.consumed(), 7u);
    EXPECT_EQ(d.rc.low, 0xFC026700u);
    EXPECT_EQ(d.rc.range, 0x03C16B00u);
    EXPECT_EQ(d.rc.code, 0xFE112233u);
}

// A mantissa table whose total (2128) is above a range of 2100.
Frequency* HeavyMantissaTable(StepDecoder* d) {
    Frequency* t = d->m.freq_second[7];
    for (int i = 0; i < 500; i++) update_frequency(t, 5, 0);  // stored sum 2000
    return t;
}

TEST(RangeDecoder, NarrowIntervalFailsWithTheRuleOffAndLeavesEverythingAsItWas) {
    StepDecoder d(kFiveValues, 0);
    Frequency* t = HeavyMantissaTable(&d);
    ASSERT_EQ(GET_SUM(t), 2128);
    NarrowIntervalRuleSetting without_rule(false);
    d.rc.range = 2100;
    d.rc.low = 0x12345678;
    uint32_t code = d.rc.code, pos = d.rc.LPos;
    EXPECT_EQ(RC_DECODE(t, &d.rc, 0), -1);
    EXPECT_EQ(d.rc.range, 2100u);
    EXPECT_EQ(d.rc.low, 0x12345678u);
    EXPECT_EQ(d.rc.code, code);
    EXPECT_EQ(d.rc.LPos, pos);
    EXPECT_EQ(GET_SUM(t), 2128);
    EXPECT_EQ(d.rc.widened_steps, 0u);
}

// With the rule on, the step first cuts the interval at the next boundary and
// takes a byte in (twice when low lies within 8 of a boundary), then decodes
// exactly as a step from the widened registers would.
TEST(RangeDecoder, NarrowIntervalIsWidenedBeforeTheStep) {
    const struct {
        uint32_t code, low, rounds;
    } cases[] = {{0x457EDEF5, 0x457EDEF0, 1}, {0x457EDFFE, 0x457EDFF9, 2}};
    for (const auto& k : cases) {
        StepDecoder narrow(kFiveValues, 1), widened(kFiveValues, 1);
        Frequency* narrow_table = HeavyMantissaTable(&narrow);
        Frequency* widened_table = HeavyMantissaTable(&widened);
        for (StepDecoder* d : {&narrow, &widened}) {
            d->rc.range = 2100;
            d->rc.low = k.low;
            d->rc.code = k.code;
        }
        uint32_t rounds = 0;
        while (widened.rc.range < GET_SUM(widened_table)) {
            widened.rc.range = range_to_next_boundary(widened.rc.low);
            widened.rc.code = (widened.rc.code << 8) | kFiveValues[widened.rc.LPos++];
            widened.rc.low <<= 8;
            rounds++;
        }
        EXPECT_EQ(rounds, k.rounds);
        int symbol = RC_DECODE(widened_table, &widened.rc, 1);
        EXPECT_EQ(widened.rc.widened_steps, 0u);
        EXPECT_EQ(symbol, 5);
        EXPECT_EQ(RC_DECODE(narrow_table, &narrow.rc, 1), symbol);
        EXPECT_EQ(narrow.rc.widened_steps, 1u);
        EXPECT_EQ(narrow.rc.range, widened.rc.range);
        EXPECT_EQ(narrow.rc.low, widened.rc.low);
        EXPECT_EQ(narrow.rc.code, widened.rc.code);
        EXPECT_EQ(narrow.rc.LPos, widened.rc.LPos);
        EXPECT_EQ(GET_SUM(narrow_table), GET_SUM(widened_table));
    }
}

TEST(RangeDecoder, ValueBeyondTheTotalFailsWithoutUpdate) {
    StepDecoder d(kFiveValues, 0);
    d.rc.low = 0;
    d.rc.code = 0xFFFFFFFF;  // v = 0xFFFFFFFF / tmp is far beyond the total
    d.rc.range = 0x100000;
    EXPECT_EQ(RC_DECODE(d.m.freq_012[0], &d.rc, 0), -1);
    EXPECT_EQ(GET_SUM(d.m.freq_012[0]), 3);
    EXPECT_EQ(d.rc.range, 0x100000u);
}

// The decoder finds symbols by comparing products; past the total it must
// still divide and hand only the low 16 bits of v to the search.
TEST(RangeDecoder, OnlyTheLowSixteenBitsOfAValueBeyondTheTotalReachTheSearch) {
    StepDecoder d(kFiveValues, 0);
    const uint32_t low = 0x12340000, tmp = 1000;
    d.rc.range = 3 * tmp;
    d.rc.low = low;
    d.rc.code = low + 65537 * tmp;  // v = 65537, seen as 1
    EXPECT_EQ(RC_DECODE(d.m.freq_012[0], &d.rc, 0), 1);
    EXPECT_EQ(d.rc.low, (low + tmp) << 16);  // two bytes shifted in
    EXPECT_EQ(d.rc.range, tmp << 16);
    EXPECT_EQ(GET_COUNT(d.m.freq_012[0], 1), 5);
    d.rc.range = 3 * tmp;
    d.rc.low = low;
    d.rc.code = low + 131075 * tmp;  // v = 131075, seen as 3: beyond the total
    EXPECT_EQ(RC_DECODE(d.m.freq_012[1], &d.rc, 0), -1);
}

TEST(RangeDecoder, DivisionByATotalIsExactForEveryRangeAndTotal) {
    uint32_t state = 1;
    for (uint32_t total = 1; total <= MAX_TABLE_TOTAL; total++) {
        uint32_t top_multiple = 0xFFFFFFFFu / total * total;
        uint32_t ranges[24] = {0,           1,           total - 1,        total,
                               total + 1,   2 * total,   top_multiple - 1, top_multiple,
                               0xFFFFFFFFu, 0x80000000u, MIN_RANGE,        MIN_RANGE - 1};
        for (int i = 12; i < 24; i++) ranges[i] = state = state * 1103515245u + 12345u;
        for (uint32_t n : ranges)
            ASSERT_EQ(divide_by_total(n, total), n / total) << n << " " << total;
    }
}

TEST(RangeDecoder, SuppliesAtMostEightZeroBytesPastTheEnd) {
    StepDecoder d(Bytes(), 0);
    EXPECT_EQ(d.rc.code, 0u);
    EXPECT_EQ(d.rc.past_end, 4u);
    int result = 0;
    while (result >= 0 && d.steps < 100000) {
        uint32_t before = d.rc.past_end;
        result = d.Step(d.m.freq_012[0]);
        if (result >= 0) {
            ASSERT_LE(d.rc.past_end, RC_PAST_END_LIMIT);
        } else {
            EXPECT_GT(d.rc.past_end, RC_PAST_END_LIMIT) << before;
        }
    }
    EXPECT_EQ(result, -1);
}

TEST(Stage1, EmptyStreamDecodesToNothing) {
    for (int odd = 0; odd <= 1; odd++) {
        StageRun run = RunStage1(kEmptyStream, odd);
        EXPECT_EQ(run.result, CAUSE_OK);
        EXPECT_TRUE(run.output.empty());
        EXPECT_EQ(run.pumps, 0u);
    }
}

TEST(Stage1, FiveValuesUnderEitherRule) {
    for (int odd = 0; odd <= 1; odd++) {
        StageRun run = RunStage1(kFiveValues, odd);
        EXPECT_EQ(run.result, CAUSE_OK);
        EXPECT_EQ(run.output, MakeBytes({0, 1, 2, 3, 0xFF}));
        EXPECT_EQ(run.pumps, 0u);  // fewer bytes than one pump interval
    }
}

TEST(Stage1, SixtyFourZerosDependOnTheRescaleRule) {
    StageRun odd = RunStage1(kZerosOdd, 1);
    EXPECT_EQ(odd.result, CAUSE_OK);
    EXPECT_EQ(odd.output, Bytes(64, 0));
    StageRun plain = RunStage1(kZerosPlain, 0);
    EXPECT_EQ(plain.result, CAUSE_OK);
    EXPECT_EQ(plain.output, Bytes(64, 0));
    EXPECT_EQ(RunStage1(kZerosOdd, 0).result, CAUSE_DAMAGED);
}

// The test-side writer reproduces the fixed streams, so the streams it makes
// for the larger cases below are trustworthy.
TEST(Stage1, TestWriterReproducesTheFixedStreams) {
    Bytes stream;
    ASSERT_TRUE(RangeEncode(Bytes(64, 0), 1, &stream));
    EXPECT_EQ(stream, kZerosOdd);
    ASSERT_TRUE(RangeEncode(Bytes(64, 0), 0, &stream));
    EXPECT_EQ(stream, kZerosPlain);
    for (int odd = 0; odd <= 1; odd++) {
        ASSERT_TRUE(RangeEncode(MakeBytes({0, 1, 2, 3, 0xFF}), odd, &stream));
        EXPECT_EQ(stream, kFiveValues);
        ASSERT_TRUE(RangeEncode(Bytes(), odd, &stream));
        EXPECT_EQ(stream, kEmptyStream);
    }
}

TEST(Stage1, BytesBehindEofAreIgnored) {
    Bytes stream = kFiveValues;
    stream.insert(stream.end(), {0x12, 0x34, 0xFF, 0xFF, 0x00});
    StageRun run = RunStage1(stream, 1);
    EXPECT_EQ(run.result, CAUSE_OK);
    EXPECT_EQ(run.output, MakeBytes({0, 1, 2, 3, 0xFF}));
}

TEST(Stage1, MissingTrailingZeroBytesReadAsZero) {
    Bytes cut(kFiveValues.begin(), kFiveValues.end() - 1);
    StageRun run = RunStage1(cut, 0);
    EXPECT_EQ(run.result, CAUSE_OK);
    EXPECT_EQ(run.output, MakeBytes({0, 1, 2, 3, 0xFF}));
    Bytes cut_empty(kEmptyStream.begin(), kEmptyStream.end() - 1);
    EXPECT_EQ(RunStage1(cut_empty, 1).result, CAUSE_OK);
}

TEST(Stage1, InputThatRunsOutEndsWithZero) {
    EXPECT_EQ(RunStage1(Bytes(), 0).result, CAUSE_DAMAGED);
    EXPECT_EQ(RunStage1(Bytes(), 1).result, CAUSE_DAMAGED);
    // A stream cut in the middle cannot reach EOF on zeros alone.
    Bytes stream;
    ASSERT_TRUE(RangeEncode(RandomBytes(500, 3), 1, &stream));
    Bytes cut(stream.begin(), stream.begin() + (long)stream.size() / 2);
    EXPECT_EQ(RunStage1(cut, 1).result, CAUSE_DAMAGED);
}

TEST(Stage1, OutputIsTheSameForEveryBufferSize) {
    const size_t sizes[] = {0, 1, 4, 5, 6, 7, 8, 13, 14, 4095, 4096, 4097, 8192, 20000};
    for (int odd = 0; odd <= 1; odd++) {
        for (size_t n : sizes) {
            Bytes data = (n % 2) ? RandomBytes(n, (uint32_t)n) : RunnyBytes(n, (uint32_t)n);
            Bytes stream;
            ASSERT_TRUE(RangeEncode(data, odd, &stream));
            for (uint32_t buffer_size : {4u, 5u, 7u, 4096u, RC_BUF_SIZE_FLOOR}) {
                ScopedRcBufSize scoped(buffer_size);
                StageRun run = RunStage1(stream, odd);
                ASSERT_EQ(run.result, CAUSE_OK) << n << " " << buffer_size;
                ASSERT_EQ(run.output, data) << n << " " << buffer_size;
                ASSERT_EQ(run.pumps, n / STAGE1_PUMP_INTERVAL);
            }
        }
    }
}

TEST(Stage1, RefusesBufferSizeBelowFour) {
    ScopedRcBufSize scoped(3);
    EXPECT_EQ(RunStage1(kFiveValues, 0).result, CAUSE_NO_MEMORY);
}

TEST(Stage1, BufferSizeFollowsPhysicalMemory) {
    EXPECT_EQ(RcBufSizeForMemory(512u << 20), 16u << 20);
    EXPECT_EQ(RcBufSizeForMemory(64u << 20), 2u << 20);
    EXPECT_EQ(RcBufSizeForMemory(1u << 20), RC_BUF_SIZE_FLOOR);
    EXPECT_EQ(RcBufSizeForMemory(0), RC_BUF_SIZE_FLOOR);
    EXPECT_EQ(RcBufSizeForMemory((uint64_t)RC_BUF_SIZE_FLOOR * 32 + 31), RC_BUF_SIZE_FLOOR);
    EXPECT_EQ(RcBufSizeForMemory((uint64_t)RC_BUF_SIZE_CAP * 32), RC_BUF_SIZE_CAP);
    EXPECT_EQ(RcBufSizeForMemory((uint64_t)16 << 30), RC_BUF_SIZE_CAP);
    EXPECT_GE(RC_BUF_SIZE, RC_BUF_SIZE_MIN);
}

TEST(Stage1, EveryFailedAllocationIsReported) {
    StageRun last;
    // Two buffers and the block of the 35 tables.
    EXPECT_EQ(FailEachAllocation([] { return RunStage1(kFiveValues, 0); }, &last), 2 + 1);
    EXPECT_EQ(last.result, CAUSE_OK);
}

TEST(Stage1, FailedReadOrWriteIsReported) {
    EXPECT_TRUE(EveryIoFailureIsReported(kFiveValues, [](FileHandle in, FileHandle out) {
        return coding012_decode(in, out, 0, NO_PUMP, NO_OUTPUT_LIMIT);
    }));
}

}  // namespace
