#include <windows.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "corun/detached_thread.h"
#include "corun/unique_any.h"
#include "../support/import_patch.h"

namespace {

// A thread that starts others; each thread it starts tells it when its work has run.
struct starter {
    corun::details::unique_handle worked{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    int lost = 0; // starts whose work never ran
};

thread_local starter* this_starter = nullptr;

// The starter gets control back from setting a thread going only once the thread's work has
// run, so that the thread returns from its function while its starter lets it go.
void await_work(starter& by) noexcept
{
    constexpr DWORD patience_ms = 20000;
    if (WaitForSingleObject(by.worked.get(), patience_ms) != WAIT_OBJECT_0)
        ++by.lost;
}

template <class F> F system_function(const char* name) noexcept
{
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

using create_thread_fn = HANDLE(WINAPI*)(SECURITY_ATTRIBUTES*, SIZE_T, LPTHREAD_START_ROUTINE, void*, DWORD, DWORD*);
using resume_thread_fn = DWORD(WINAPI*)(HANDLE);

HANDLE WINAPI create_thread_awaiting_work(SECURITY_ATTRIBUTES* attributes, SIZE_T stack, LPTHREAD_START_ROUTINE start,
                                          void* context, DWORD flags, DWORD* id)
{
    static const auto real = system_function<create_thread_fn>("CreateThread");
    const HANDLE thread = real(attributes, stack, start, context, flags, id);
    if (thread && this_starter && !(flags & CREATE_SUSPENDED))
        await_work(*this_starter);
    return thread;
}

// The threads library makes its threads suspended and sets them going with ResumeThread.
DWORD WINAPI resume_thread_awaiting_work(HANDLE thread)
{
    static const auto real = system_function<resume_thread_fn>("ResumeThread");
    const DWORD previous = real(thread);
    if (previous == 1 && this_starter)
        await_work(*this_starter);
    return previous;
}

// Both ways in which this program sets a thread going, replaced for the life of the object.
struct starts_awaiting_work {
    import_patch create{GetModuleHandleW(nullptr), "kernel32.dll", "CreateThread",
                        reinterpret_cast<void*>(&create_thread_awaiting_work)};
    import_patch resume{GetModuleHandleW(nullptr), "kernel32.dll", "ResumeThread",
                        reinterpret_cast<void*>(&resume_thread_awaiting_work)};
};

// On a thread's exit, after its function has returned and before the threads library hears of
// the exit, this keeps the thread a moment: any record freed for it then is reused by threads
// started meanwhile, so that a start whose record an ending thread still writes into shows up
// in a few hundred starts.
void WINAPI linger_on_exit(void*) noexcept
{
    Sleep(1);
}

} // namespace

TEST(detached_thread, ThreadsThatEndBeforeTheirStarterLetsGoEachRunTheirOwnWorkOnce)
{
    const DWORD linger = FlsAlloc(&linger_on_exit);
    ASSERT_NE(linger, FLS_OUT_OF_INDEXES);
    constexpr int starters = 16;
    constexpr int per_starter = 30;
    std::vector<std::atomic<int>> runs(starters * per_starter);
    std::array<starter, starters> by;
    {
        starts_awaiting_work hooks;
        ASSERT_TRUE(hooks.create.active() && hooks.resume.active());
        std::array<std::thread, starters> threads;
        for (int s = 0; s < starters; ++s)
            threads[s] = std::thread([&, s] {
                this_starter = &by[s];
                // A lost start costs the whole patience: the first one ends this starter's part.
                for (int i = 0; i < per_starter && by[s].lost == 0; ++i)
                    corun::details::start_detached_thread([&, s, slot = s * per_starter + i] {
                        ++runs[slot];
                        FlsSetValue(linger, &runs);
                        SetEvent(by[s].worked.get());
                    });
                this_starter = nullptr;
            });
        for (auto& thread : threads)
            thread.join();
    }
    int wrong = 0, lost = 0;
    for (const auto& count : runs)
        wrong += count.load() != 1;
    for (const auto& s : by)
        lost += s.lost;
    EXPECT_EQ(lost, 0) << "starts whose work never ran";
    EXPECT_EQ(wrong, 0) << "threads whose work ran other than once";
    // The threads that linger still use the index: it stays allocated.
}
