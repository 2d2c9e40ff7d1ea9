// Adaptive frequency tables: derived values, search, update and both rescale rules.
#include <gtest/gtest.h>

#include <vector>

#include "codec/012coding.h"
#include "platform/platform.h"
#include "tests/test_hooks.h"

namespace {

// One fresh table of the model set: the one of `size` symbols that rescales
// at `max` (GR1/MAX_SUM1, GR2/MAX_SUM2, or 2..128 symbols with MAX_SUM3).
struct TableGuard {
    ModelSet set{};
    Frequency* t = nullptr;
    TableGuard(uint16_t size, uint16_t max) {
        if (!init_global(&set)) return;
        if (size == GR1 && max == MAX_SUM1) {
            t = set.freq_012[0];
        } else if (size == GR2 && max == MAX_SUM2) {
            t = set.freq_first;
        } else {
            for (int e = 1; e < 8; e++)
                if (size == (1u << e) && max == MAX_SUM3) t = set.freq_second[e];
        }
    }
    ~TableGuard() { free_frequency(&set); }
};

std::vector<int> Counts(const Frequency* t) {
    return std::vector<int>(t->count, t->count + t->code_size);
}
std::vector<int> Sums(const Frequency* t) {
    return std::vector<int>(t->count_sum, t->count_sum + t->code_size + 1);
}

TEST(Frequency, NewTableGivesEverySymbolFrequencyOne) {
    TableGuard g(GR1, MAX_SUM1);
    ASSERT_NE(g.t, nullptr);
    EXPECT_EQ(GET_SUM(g.t), 3);
    for (int c = 0; c < 3; c++) {
        EXPECT_EQ(GET_COUNT(g.t, c), 1);
        EXPECT_EQ(GET_COUNT_SUM(g.t, c), c);
        EXPECT_EQ(search_code(g.t, (uint16_t)c), c);
    }
    EXPECT_EQ(search_code(g.t, 3), -1);
    EXPECT_EQ(search_code(g.t, 4), -1);
    EXPECT_EQ(search_code(g.t, 0xFFFF), -1);
    // Only the low 16 bits of a wider value count: 65538 behaves as 2.
    uint32_t wide = 65538;
    EXPECT_EQ(search_code(g.t, (uint16_t)wide), 2);
}

TEST(Frequency, OneUpdateWidensTheSymbolByFour) {
    TableGuard g(GR1, MAX_SUM1);
    update_frequency(g.t, 1, 0);
    EXPECT_EQ(Counts(g.t), (std::vector<int>{0, 4, 0}));
    EXPECT_EQ(Sums(g.t), (std::vector<int>{0, 0, 4, 4}));
    EXPECT_EQ(GET_COUNT(g.t, 0), 1);
    EXPECT_EQ(GET_COUNT(g.t, 1), 5);
    EXPECT_EQ(GET_COUNT(g.t, 2), 1);
    EXPECT_EQ(GET_COUNT_SUM(g.t, 0), 0);
    EXPECT_EQ(GET_COUNT_SUM(g.t, 1), 1);
    EXPECT_EQ(GET_COUNT_SUM(g.t, 2), 6);
    EXPECT_EQ(GET_SUM(g.t), 7);
    EXPECT_EQ(search_code(g.t, 0), 0);
    for (uint16_t v = 1; v <= 5; v++) EXPECT_EQ(search_code(g.t, v), 1) << v;
    EXPECT_EQ(search_code(g.t, 6), 2);
    EXPECT_EQ(search_code(g.t, 7), -1);
}

TEST(Frequency, ClassTableRescalesOnItsSixtyFourthUse) {
    for (int odd = 0; odd <= 1; odd++) {
        TableGuard g(GR1, MAX_SUM1);
        for (int i = 0; i < 63; i++) update_frequency(g.t, 0, odd);
        EXPECT_EQ(Counts(g.t), (std::vector<int>{252, 0, 0}));
        update_frequency(g.t, 0, odd);
        if (odd) {
            EXPECT_EQ(Counts(g.t), (std::vector<int>{129, 1, 1}));
            EXPECT_EQ(Sums(g.t), (std::vector<int>{0, 129, 130, 131}));
            EXPECT_EQ(GET_SUM(g.t), 134);
        } else {
            EXPECT_EQ(Counts(g.t), (std::vector<int>{128, 0, 0}));
            EXPECT_EQ(Sums(g.t), (std::vector<int>{0, 128, 128, 128}));
            EXPECT_EQ(GET_SUM(g.t), 131);
        }
    }
}

// The first rescale comes when the stored sum reaches max_sum exactly.
TEST(Frequency, FirstRescaleComesWhenStoredSumReachesMaxSum) {
    struct Case {
        uint16_t size, max;
        int uses;
    } cases[] = {{GR2, MAX_SUM2, 128}, {2, MAX_SUM3, 512}, {128, MAX_SUM3, 512}};
    for (const Case& k : cases) {
        TableGuard g(k.size, k.max);
        int symbol = k.size - 1;
        for (int i = 1; i < k.uses; i++) update_frequency(g.t, symbol, 0);
        EXPECT_EQ(g.t->count_sum[k.size], 4 * (k.uses - 1));
        EXPECT_EQ(GET_SUM(g.t), 4 * (k.uses - 1) + k.size);
        update_frequency(g.t, symbol, 0);
        EXPECT_EQ(g.t->count[symbol], 2 * k.uses);
        EXPECT_EQ(g.t->count_sum[k.size], 2 * k.uses);
    }
}

// Under long random use both rules keep the sums consistent and below max_sum,
// and the odd rule leaves every count odd after a rescale.
TEST(Frequency, RescaleKeepsTablesConsistentUnderBothRules) {
    for (int odd = 0; odd <= 1; odd++) {
        TableGuard g(64, MAX_SUM3);
        uint32_t state = 12345;
        bool rescaled = false;
        for (int i = 0; i < 20000; i++) {
            state = state * 1103515245u + 12345u;
            int c = (int)((state >> 16) % 64) / (1 + (int)((state >> 8) & 3));
            uint16_t before = g.t->count_sum[64];
            update_frequency(g.t, c, odd);
            uint16_t after = g.t->count_sum[64];
            ASSERT_LT(after, MAX_SUM3);
            if (after != (uint16_t)(before + 4)) {
                rescaled = true;
                for (int s = 0; s < 64 && odd; s++) ASSERT_EQ(g.t->count[s] & 1, 1);
            }
            ASSERT_EQ(g.t->count_sum[0], 0);
            for (int s = 0; s < 64; s++)
                ASSERT_EQ(g.t->count_sum[s + 1], g.t->count_sum[s] + g.t->count[s]);
            uint16_t v = (uint16_t)(state % GET_SUM(g.t));
            int found = search_code(g.t, v);
            ASSERT_GE(found, 0);
            ASSERT_LE(GET_COUNT_SUM(g.t, found), v);
            ASSERT_GT(GET_COUNT_SUM(g.t, found) + GET_COUNT(g.t, found), v);
            ASSERT_EQ(search_code(g.t, GET_SUM(g.t)), -1);
        }
        EXPECT_TRUE(rescaled);
    }
}

TEST(Frequency, ModelSetHasThirtyFiveFreshTables) {
    ModelSet m;
    ASSERT_TRUE(init_global(&m));
    for (int i = 0; i < 27; i++) {
        ASSERT_NE(m.freq_012[i], nullptr);
        EXPECT_EQ(m.freq_012[i]->code_size, 3);
        EXPECT_EQ(m.freq_012[i]->max_sum, 256);
        EXPECT_EQ(GET_SUM(m.freq_012[i]), 3);
    }
    EXPECT_EQ(m.freq_first->code_size, 8);
    EXPECT_EQ(m.freq_first->max_sum, 512);
    EXPECT_EQ(m.freq_second[0], nullptr);
    for (int e = 1; e <= 7; e++) {
        EXPECT_EQ(m.freq_second[e]->code_size, 1 << e);
        EXPECT_EQ(m.freq_second[e]->max_sum, 2048);
        EXPECT_EQ(GET_SUM(m.freq_second[e]), 1 << e);
    }
    free_frequency(&m);
    EXPECT_EQ(m.freq_first, nullptr);
}

TEST(Frequency, ModelSetSurvivesAFailedAllocation) {
    // The 35 tables come in one block: one allocation to fail.
    FailAllocationAfter = 1;
    ModelSet m;
    EXPECT_FALSE(init_global(&m));
    EXPECT_EQ(FailAllocationAfter, 0);
    for (int i = 0; i < 27; i++) EXPECT_EQ(m.freq_012[i], nullptr);
    EXPECT_EQ(m.freq_first, nullptr);
    FailAllocationAfter = 2;
    EXPECT_TRUE(init_global(&m));
    FailAllocationAfter = 0;
    free_frequency(&m);
}

}  // namespace
