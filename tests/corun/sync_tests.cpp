#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "corun/corun.h"
#include "corun/unique_any.h"
#include "../support/import_patch.h"
#include "allocation_probe.h"

using corun::details::future;
using corun::details::latch;
using corun::details::shared_future;

namespace {

std::shared_ptr<corun::details::promise_type_<void>> make_gate()
{
    return std::make_shared<corun::details::promise_type_<void>>();
}

future<void> gated(std::shared_ptr<corun::details::promise_type_<void>> gate)
{
    co_await corun::details::awaiting(*gate);
}

future<void> failing_gated(std::shared_ptr<corun::details::promise_type_<void>> gate)
{
    co_await corun::details::awaiting(*gate);
    throw corun::details::hresult_error(E_ACCESSDENIED);
}

struct waiter_log {
    corun::details::srw_lock lock;
    std::vector<int> order;
    std::vector<DWORD> threads;
    std::atomic<int> failures{0};
};

future<void> observe(shared_future sf, int id, waiter_log& log)
{
    try {
        co_await sf;
    } catch (const corun::details::hresult_error&) {
        ++log.failures;
    }
    std::lock_guard guard(log.lock);
    log.order.push_back(id);
    log.threads.push_back(GetCurrentThreadId());
}

// The address that a waiter's coroutine handle has, as the fan-out hands it to the pool.
void* handle_address(const future<void>& f)
{
    return std::coroutine_handle<corun::details::promise_type_<void>>::from_promise(f.state()).address();
}

// Replaces this program's import of TrySubmitThreadpoolCallback while it lives; the corun code
// under test is linked into the program, so its submissions go through that import.
class pool_submission_swap {
public:
    using function = BOOL(WINAPI*)(PTP_SIMPLE_CALLBACK, PVOID, PTP_CALLBACK_ENVIRON);

    explicit pool_submission_swap(function replacement)
        : patch_(GetModuleHandleW(nullptr), "kernel32.dll", "TrySubmitThreadpoolCallback",
                 reinterpret_cast<void*>(replacement))
    {
        EXPECT_TRUE(patch_.active());
        real_ = patch_.original<std::remove_pointer_t<function>>();
    }

    static function original() { return real_; }

private:
    static inline function real_ = nullptr;
    import_patch patch_;
};

BOOL WINAPI refuse_submission(PTP_SIMPLE_CALLBACK, PVOID, PTP_CALLBACK_ENVIRON)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
}

corun::details::srw_lock submitted_lock;
std::vector<void*> submitted;

BOOL WINAPI record_submission(PTP_SIMPLE_CALLBACK callback, PVOID context, PTP_CALLBACK_ENVIRON environment)
{
    {
        std::lock_guard guard(submitted_lock);
        submitted.push_back(context);
    }
    return pool_submission_swap::original()(callback, context, environment);
}

// Awaits sf with the next allocation of a coroutine frame refused on this thread.
future<void> observe_short_of_memory(shared_future sf, std::atomic<int>& out_of_memory)
{
    try {
        refused_allocation_size = 64; // a waiter's list entry is smaller, any frame larger
        co_await sf;
        refused_allocation_size = std::numeric_limits<std::size_t>::max();
    } catch (const std::bad_alloc&) {
        refused_allocation_size = std::numeric_limits<std::size_t>::max();
        ++out_of_memory;
    }
}

future<void> signal_when_resumed(shared_future sf, HANDLE done)
{
    co_await sf;
    SetEvent(done);
}

// What the waiting thread, the completing thread and the lock hook below share: the round's
// gate, the thread on which the hook acts next and the future's own lock, which it lets by.
struct gap_completion {
    std::shared_ptr<corun::details::promise_type_<void>> gate;
    std::atomic<DWORD> armed_thread{0};
    SRWLOCK* state_lock = nullptr;
    std::atomic<bool> stopping{false};
    std::atomic<int> rounds_woken{0};
    std::atomic<int> completions_in_gap{0};
    corun::details::unique_handle asked{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    corun::details::unique_handle answered{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    corun::details::unique_handle finished{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

struct lock_acquisition_hook {
    using function = void(WINAPI*)(PSRWLOCK);
    static inline std::atomic<gap_completion*> shared{nullptr};
    static inline function real = nullptr;

    explicit lock_acquisition_hook(gap_completion& with) noexcept
    {
        // Taken from the system, not through this program's import, which the hook replaces.
        real = reinterpret_cast<function>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "AcquireSRWLockExclusive")));
        shared = &with;
    }
    ~lock_acquisition_hook() { shared = nullptr; }

    // On the armed thread, the first lock taken other than the future's own is the blocking
    // wait's lock: before taking it, the thread has the completer complete the future, and
    // waits until that has run whole.
    static void WINAPI acquire(PSRWLOCK lock)
    {
        gap_completion* with = shared;
        if (with && lock != with->state_lock && with->armed_thread == GetCurrentThreadId()) {
            with->armed_thread = 0;
            SetEvent(with->asked.get());
            WaitForSingleObject(with->answered.get(), INFINITE);
            ++with->completions_in_gap;
        }
        real(lock);
    }
};

// Replaces this program's import of AcquireSRWLockExclusive with the hook while it lives; the
// corun code under test is linked into the program, so its locks go through that import.
class lock_acquisition_swap : lock_acquisition_hook {
public:
    explicit lock_acquisition_swap(gap_completion& with) noexcept
        : lock_acquisition_hook(with),
          patch_(GetModuleHandleW(nullptr), "kernel32.dll", "AcquireSRWLockExclusive",
                 reinterpret_cast<void*>(&lock_acquisition_hook::acquire))
    {
    }
    bool active() const noexcept { return patch_.active(); }

private:
    import_patch patch_;
};

} // namespace

TEST(Latch, CountingDownFromOneWakesAndFromTwoDoesNot)
{
    latch l;
    l.count_up();
    l.count_up();
    std::atomic<bool> woke{false};
    std::thread waiter([&] {
        l.wait_zero();
        woke = true;
    });
    l.count_down();
    Sleep(50);
    EXPECT_FALSE(woke.load());
    l.count_down();
    waiter.join();
    EXPECT_TRUE(woke.load());
    EXPECT_EQ(l.count(), 0u);
}

TEST(LatchDeathTest, CountingDownAtZeroEndsTheProcessInsteadOfWrapping)
{
    EXPECT_DEATH(
        {
            latch l;
            l.count_down();
        },
        "");
}

TEST(BlockingWait, CompletionBetweenStartAndSleepWakesAtOnce)
{
    // Each round's completion comes exactly in the gap: after the wait coroutine watches the
    // future and before the waiter holds its lock to sleep. A waiter that sleeps without looking
    // at its flag again never wakes; the test then reports it instead of hanging.
    constexpr int rounds = 50;
    auto shared = std::make_shared<gap_completion>();
    auto swap = std::make_unique<lock_acquisition_swap>(*shared);
    ASSERT_TRUE(swap->active());
    std::thread completer([shared] {
        while (WaitForSingleObject(shared->asked.get(), INFINITE) == WAIT_OBJECT_0 && !shared->stopping) {
            shared->gate->set_value();
            SetEvent(shared->answered.get());
        }
    });
    std::thread waiter([shared] {
        for (int round = 0; round < rounds; ++round) {
            shared->gate = make_gate();
            auto f = gated(shared->gate);
            shared->state_lock = f.state().lock.native();
            shared->armed_thread = GetCurrentThreadId();
            corun::details::wait_get(f);
            shared->rounds_woken = round + 1;
        }
        SetEvent(shared->finished.get());
    });
    const bool finished = WaitForSingleObject(shared->finished.get(), 30000) == WAIT_OBJECT_0;
    EXPECT_TRUE(finished) << "round " << shared->rounds_woken.load() + 1
                          << " slept through a completion that came before its sleep";
    if (finished)
        waiter.join();
    else
        waiter.detach(); // asleep for good; the process ends it
    swap.reset();
    EXPECT_EQ(shared->completions_in_gap.load(), finished ? rounds : shared->rounds_woken.load() + 1);
    shared->stopping = true;
    SetEvent(shared->asked.get());
    completer.join();
}

TEST(SharedFuture, EveryWaiterResumesOnItsOwnPoolCallback)
{
    auto gate = make_gate();
    shared_future sf(gated(gate));
    waiter_log log;
    auto a = observe(sf, 1, log);
    auto b = observe(sf, 2, log);
    EXPECT_FALSE(sf.ready());
    std::atomic<DWORD> completer_id{0};
    std::thread completer([&] {
        completer_id = GetCurrentThreadId();
        gate->set_value();
    });
    corun::details::wait_get(a);
    corun::details::wait_get(b);
    completer.join();
    ASSERT_EQ(log.threads.size(), 2u);
    for (DWORD t : log.threads) {
        EXPECT_NE(t, completer_id);
        EXPECT_NE(t, GetCurrentThreadId());
    }
    EXPECT_EQ(log.failures.load(), 0);
}

TEST(SharedFuture, WaiterAfterCompletionContinuesAtOnce)
{
    auto gate = make_gate();
    gate->set_value();
    shared_future sf(gated(gate));
    waiter_log log;
    // Let the first waiter finish the fan-out.
    auto first = observe(sf, 1, log);
    corun::details::wait_get(first);
    auto late = observe(sf, 2, log);
    EXPECT_TRUE(late.ready());
    EXPECT_EQ(log.threads.back(), GetCurrentThreadId());
}

TEST(SharedFuture, FailureReachesEveryWaiterAndBlockingWait)
{
    auto gate = make_gate();
    shared_future sf(failing_gated(gate));
    waiter_log log;
    std::vector<future<void>> waiters;
    for (int i = 0; i < 5; ++i)
        waiters.push_back(observe(sf, i, log));
    gate->set_value();
    for (auto& w : waiters)
        corun::details::wait_get(w);
    EXPECT_EQ(log.failures.load(), 5);
    EXPECT_THROW(sf.wait(), corun::details::hresult_error);
}

TEST(SharedFuture, BlockingWaitBesideAnAwaiterLeavesBothToComplete)
{
    for (int round = 0; round < 200; ++round) {
        auto gate = make_gate();
        shared_future sf(gated(gate));
        waiter_log log;
        auto awaiter = observe(sf, 1, log);
        std::atomic<bool> waiting{false};
        std::thread blocked([&] {
            waiting = true;
            sf.wait();
        });
        while (!waiting)
            SwitchToThread();
        gate->set_value();
        blocked.join();
        corun::details::wait_get(awaiter);
        ASSERT_EQ(log.order.size(), 1u) << "round " << round;
    }
}

// The waiters are handed to the pool in the order they came, each on a callback of its own.
TEST(SharedFuture, WaitersAreHandedToThePoolInArrivalOrder)
{
    auto gate = make_gate();
    shared_future sf(gated(gate));
    waiter_log log;
    std::vector<future<void>> waiters;
    std::vector<void*> arrival;
    {
        pool_submission_swap swap(&record_submission);
        for (int i = 0; i < 6; ++i) {
            waiters.push_back(observe(sf, i, log));
            arrival.push_back(handle_address(waiters.back()));
        }
        gate->set_value();
        for (auto& w : waiters)
            corun::details::wait_get(w);
    }
    std::vector<void*> handed;
    {
        std::lock_guard guard(submitted_lock);
        for (void* context : submitted) {
            if (std::find(arrival.begin(), arrival.end(), context) != arrival.end())
                handed.push_back(context);
        }
        submitted.clear();
    }
    EXPECT_EQ(handed, arrival);
}

// Without the pool the fan-out still reaches every waiter: it goes on on the thread that
// completed the operation and resumes the waiters there, in the order they came.
TEST(SharedFuture, WaitersThePoolRefusesResumeInOrderOnTheCompletingThread)
{
    auto gate = make_gate();
    shared_future sf(failing_gated(gate));
    waiter_log log;
    std::vector<future<void>> waiters;
    {
        pool_submission_swap swap(&refuse_submission);
        for (int i = 0; i < 4; ++i)
            waiters.push_back(observe(sf, i, log));
        gate->set_value();
    }
    ASSERT_EQ(log.order.size(), 4u) << "waiters left suspended";
    EXPECT_EQ(log.order, (std::vector<int>{0, 1, 2, 3}));
    for (DWORD thread : log.threads)
        EXPECT_EQ(thread, GetCurrentThreadId());
    EXPECT_EQ(log.failures.load(), 4);
    for (auto& w : waiters)
        EXPECT_TRUE(w.ready());
}

// A waiter that cannot start the fan-out for want of memory fails with bad_alloc and leaves
// nothing half done: the next waiter starts it and is resumed.
TEST(SharedFuture, OutOfMemoryStartingTheFanOutLeavesItToTheNextWaiter)
{
    auto gate = make_gate();
    shared_future sf(gated(gate));
    std::atomic<int> out_of_memory{0};
    auto refused = observe_short_of_memory(sf, out_of_memory);
    ASSERT_TRUE(refused.ready());
    EXPECT_EQ(out_of_memory.load(), 1);

    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto next = signal_when_resumed(sf, done);
    gate->set_value();
    EXPECT_EQ(WaitForSingleObject(done, 10000), WAIT_OBJECT_0) << "the next waiter was never resumed";
    CloseHandle(done);
}
