// Timing for the benchmark programs: the best of a few runs, so that a stray hiccup on a shared
// machine does not decide the figure.
#pragma once
#include <algorithm>
#include <chrono>

using BenchClock = std::chrono::steady_clock;

inline double seconds_since(BenchClock::time_point t0) {
    return std::chrono::duration<double>(BenchClock::now() - t0).count();
}

template <typename F>
double best_of(int runs, F f) {
    double best = 1e30;
    for (int i = 0; i < runs; i++) {
        auto t0 = BenchClock::now();
        f();
        best = std::min(best, seconds_since(t0));
    }
    return best;
}
