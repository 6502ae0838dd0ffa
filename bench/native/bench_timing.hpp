// Timing shared by the native benchmarks: the median of several runs after a warm-up.
#pragma once

#include <algorithm>
#include <chrono>
#include <ctime>
#include <functional>
#include <vector>

inline double wall_seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// CPU time of this process: time spent waiting for a core on a shared machine is left out.
inline double cpu_seconds()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

inline double median_seconds(const std::function<void()> &fn, int repeats = 7,
                             double (*clock)() = wall_seconds)
{
    fn(); // warm up
    std::vector<double> t;
    for (int i = 0; i < repeats; ++i) {
        const double a = clock();
        fn();
        t.push_back(clock() - a);
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}
