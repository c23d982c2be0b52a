#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "corun/corun.h"

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
    for (int i = 0; i < 1000; ++i) {
        auto gate = make_gate();
        auto f = gated(gate);
        std::thread t([&] { gate->set_value(); });
        corun::details::wait_get(f);
        t.join();
    }
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
