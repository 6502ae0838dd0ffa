// Timing shared by the native benchmarks: the median of several runs after a warm-up.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

inline double median_seconds(const std::function<void()> &fn, int repeats = 7)
{
    fn(); // warm up
    std::vector<double> t;
    for (int i = 0; i < repeats; ++i) {
        const auto a = std::chrono::steady_clock::now();
        fn();
        t.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}
