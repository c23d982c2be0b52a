#pragma once
// Timing for the benchmarks: a figure is the best of several runs of many iterations, timed
// with QueryPerformanceCounter, and printed beside the baseline measured in the same run.
#include <algorithm>
#include <cstdio>

#include <windows.h>

namespace bench {

// Nanoseconds per call of f, the best of `runs` runs of `iterations` calls.
template <class F> double ns_per_op(F&& f, long iterations, int runs = 5)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    for (long i = 0; i < iterations / 10 + 1; ++i) // warm-up
        f();
    double best = 1e300;
    for (int r = 0; r < runs; ++r) {
        LARGE_INTEGER start, stop;
        QueryPerformanceCounter(&start);
        for (long i = 0; i < iterations; ++i)
            f();
        QueryPerformanceCounter(&stop);
        const double ns = static_cast<double>(stop.QuadPart - start.QuadPart) * 1e9 /
                          static_cast<double>(frequency.QuadPart) / static_cast<double>(iterations);
        best = std::min(best, ns);
    }
    return best;
}

inline void report(const char* name, double measured, double baseline)
{
    std::printf("%s: %.1f ns/op, baseline %.1f ns/op, ratio %.2f\n", name, measured, baseline, measured / baseline);
    std::fflush(stdout);
}

// Times measured and baseline in alternating runs, so that both see the same machine load,
// and prints the median of each with their ratio.
template <class M, class B> void compare(const char* name, M&& measured, B&& baseline, long iterations, int runs = 7)
{
    double m[15], b[15];
    runs = std::min(runs, 15);
    for (int r = 0; r < runs; ++r) {
        m[r] = ns_per_op(measured, iterations, 1);
        b[r] = ns_per_op(baseline, iterations, 1);
    }
    std::sort(m, m + runs);
    std::sort(b, b + runs);
    report(name, m[runs / 2], b[runs / 2]);
}

// Keeps the optimiser from dropping a result.
template <class T> void keep(const T& value)
{
    asm volatile("" : : "r"(&value) : "memory");
}

} // namespace bench
