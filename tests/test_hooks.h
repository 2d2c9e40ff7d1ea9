// Hooks into the product code that only tests and fuzz targets set. Each is
// a process-wide variable defined beside the code it steers, off by default.
#pragma once

#include <stdint.h>

// platform: when positive, the n-th allocation from now fails (counting 1,
// 2, ...); 0 turns it off. Lets tests prove that every stage survives a
// failed allocation.
extern int32_t FailAllocationAfter;

// decoder: when set, called with each work-file path right before the file is
// opened, so that a test can make the name appear in that moment, as another
// program could.
extern void (*BeforeWorkFileOpen)(const char* path);

// codec: when true, stage 1 decodes without the narrow-interval rule (a step
// whose range is below the table's total fails instead of widening), to show
// what a reader without the rule makes of a stream.
extern bool NarrowIntervalRuleOff;

// Stage 1 decodes with or without the narrow-interval rule while this lives.
struct NarrowIntervalRuleSetting {
    explicit NarrowIntervalRuleSetting(bool rule) { NarrowIntervalRuleOff = !rule; }
    ~NarrowIntervalRuleSetting() { NarrowIntervalRuleOff = false; }
};
