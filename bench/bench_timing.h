// What the whole-archive benchmarks share: CPU and wall-clock times of work
// done in the process and in the programs it starts, and stopping on failure.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <functional>
#include <string>

#include <quorvane.h>

inline double Seconds(clockid_t clock) {
    struct timespec t;
    clock_gettime(clock, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

inline double ChildrenCpu() {
    struct rusage usage;
    getrusage(RUSAGE_CHILDREN, &usage);
    return (double)usage.ru_utime.tv_sec + (double)usage.ru_utime.tv_usec / 1e6 +
           (double)usage.ru_stime.tv_sec + (double)usage.ru_stime.tv_usec / 1e6;
}

struct Timing {
    double cpu = 1e30, wall = 1e30;
};

// Runs `work` once and keeps its times in `best` where they are better.
inline void Measure(Timing* best, const std::function<void()>& work) {
    double cpu = Seconds(CLOCK_PROCESS_CPUTIME_ID) + ChildrenCpu();
    double wall = Seconds(CLOCK_MONOTONIC);
    work();
    best->cpu = std::min(best->cpu, Seconds(CLOCK_PROCESS_CPUTIME_ID) + ChildrenCpu() - cpu);
    best->wall = std::min(best->wall, Seconds(CLOCK_MONOTONIC) - wall);
}

// Runs `work` `rounds` times; keeps the best CPU and the best wall time.
inline Timing Best(int rounds, const std::function<void()>& work) {
    Timing best;
    for (int i = 0; i < rounds; i++) Measure(&best, work);
    return best;
}

// Runs a shell command; stops the benchmark when it fails.
inline void Shell(const std::string& command) {
    if (system(command.c_str()) != 0) {
        fprintf(stderr, "benchmark failed: %s\n", command.c_str());
        exit(1);
    }
}

inline void Must(int code, const qv_error& error) {
    if (code == QV_OK) return;
    fprintf(stderr, "benchmark: %s\n", error.message);
    exit(1);
}
