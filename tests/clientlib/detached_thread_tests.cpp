#include <windows.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "corun/detached_thread.h"

namespace {

// On a thread's exit, after its function has returned and before the threads library hears of
// the exit, this keeps the thread a moment: any record freed for it then is reused by threads
// started meanwhile, so that a start whose record an ending thread still writes into shows up
// in a few hundred starts rather than in many thousands.
void WINAPI linger_on_exit(void*) noexcept
{
    Sleep(1);
}

} // namespace

TEST(detached_thread, ThreadsThatEndBeforeTheirStarterLetsGoEachRunTheirOwnWorkOnce)
{
    const DWORD linger = FlsAlloc(&linger_on_exit);
    ASSERT_NE(linger, FLS_OUT_OF_INDEXES);
    constexpr int starters = 4;
    constexpr int per_starter = 500;
    std::vector<std::atomic<int>> runs(starters * per_starter);
    std::atomic<int> total{0};
    std::array<std::thread, starters> threads;
    for (int s = 0; s < starters; ++s)
        threads[s] = std::thread([&, s] {
            for (int i = 0; i < per_starter; ++i)
                corun::details::start_detached_thread([&, slot = s * per_starter + i] {
                    ++runs[slot];
                    FlsSetValue(linger, &runs);
                    ++total;
                });
        });
    for (auto& thread : threads)
        thread.join();
    // Bounded: a start that was lost never counts.
    const ULONGLONG until = GetTickCount64() + 20000;
    while (total.load() < starters * per_starter && GetTickCount64() < until)
        Sleep(10);
    int wrong = 0;
    for (const auto& count : runs)
        wrong += count.load() != 1;
    EXPECT_EQ(total.load(), starters * per_starter);
    EXPECT_EQ(wrong, 0) << "threads whose work ran other than once";
    // The threads that linger still use the index: it stays allocated.
}
