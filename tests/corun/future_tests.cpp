#include <atomic>
#include <coroutine>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "corun/corun.h"
#include "allocation_probe.h"
#include "frame_counter.h"

using corun::details::future;

namespace {

// A result that the test completes by hand from any thread.
struct manual_event {
    std::shared_ptr<corun::details::promise_type_<int>> state = std::make_shared<corun::details::promise_type_<int>>();
};

// A coroutine handle that counts its resumptions: each one adds one and suspends again, so a
// second resumption is counted instead of running past the end of the coroutine.
struct resume_counter {
    struct promise_type {
        resume_counter get_return_object() noexcept
        {
            return resume_counter{std::coroutine_handle<promise_type>::from_promise(*this)};
        }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_void() noexcept {}
        void unhandled_exception() noexcept { std::terminate(); }
    };
    explicit resume_counter(std::coroutine_handle<promise_type> h) noexcept : handle(h) {}
    resume_counter(resume_counter&& other) noexcept : handle(std::exchange(other.handle, nullptr)) {}
    ~resume_counter()
    {
        if (handle)
            handle.destroy();
    }

    std::coroutine_handle<promise_type> handle;
};

resume_counter counting(std::atomic<int>& resumptions)
{
    for (;;) {
        ++resumptions;
        co_await std::suspend_always{};
    }
}

bool has_continuation(corun::details::promise_type_<int>& state)
{
    std::lock_guard guard(state.lock);
    return static_cast<bool>(state.continuation);
}

future<int> wait_for_event(std::shared_ptr<corun::details::promise_type_<int>> state, counted_frame = {})
{
    int v = co_await corun::details::awaiting(*state);
    co_return v + 1;
}

future<int> immediate(int v, counted_frame = {})
{
    co_return v;
}

future<int> failing(counted_frame = {})
{
    throw std::runtime_error("boom");
    co_return 0;
}

future<int> chain(future<int> inner, counted_frame = {})
{
    int v = co_await inner;
    co_return v * 2;
}

future<void> on_pool(DWORD* thread)
{
    co_await corun::resume_background();
    *thread = GetCurrentThreadId();
}

} // namespace

TEST(FutureFrames, ReleasedBeforeCompletionFreesAtEnd)
{
    frames_alive = 0;
    manual_event ev;
    {
        auto f = wait_for_event(ev.state);
        EXPECT_EQ(frames_alive.load(), 1);
    }
    // The producer still runs, so its frame lives on.
    EXPECT_EQ(frames_alive.load(), 1);
    ev.state->set_value(4);
    EXPECT_EQ(frames_alive.load(), 0);
}

TEST(FutureFrames, ReleasedAfterCompletionFreesDuringRelease)
{
    frames_alive = 0;
    {
        auto f = immediate(3);
        EXPECT_TRUE(f.ready());
        EXPECT_EQ(frames_alive.load(), 1);
        EXPECT_EQ(f.get(), 3);
        EXPECT_EQ(frames_alive.load(), 1);
    }
    EXPECT_EQ(frames_alive.load(), 0);
}

TEST(FutureAwait, ValuesChainAndTheAwaitReleasesTheAwaitedFuture)
{
    frames_alive = 0;
    {
        auto f = chain(immediate(21));
        ASSERT_TRUE(f.ready());
        EXPECT_EQ(f.get(), 42);
        // The awaited future was released by the await.
        EXPECT_EQ(frames_alive.load(), 1);
    }
    EXPECT_EQ(frames_alive.load(), 0);
}

TEST(FutureAwait, CompleteStateIsNotSuspendedOnAndKeepsNoContinuation)
{
    auto state = std::make_shared<corun::details::promise_type_<int>>();
    state->set_value(1);
    std::atomic<int> resumptions{0};
    auto waiter = counting(resumptions);
    corun::details::state_observer<int> awaiter(*state);
    EXPECT_TRUE(awaiter.await_ready());
    // Even asked to suspend, it declines and keeps no handle that a later store would resume.
    EXPECT_FALSE(awaiter.await_suspend(waiter.handle));
    state->set_value(2);
    EXPECT_EQ(resumptions.load(), 0);
}

TEST(FutureAwait, ExceptionIsRethrownToAwaiterAndAcrossThreads)
{
    auto f = chain(failing());
    EXPECT_THROW(f.get(), std::runtime_error);

    manual_event ev;
    auto g = chain(wait_for_event(ev.state));
    std::thread([&] { ev.state->set_exception(std::make_exception_ptr(corun::details::hresult_error(E_ACCESSDENIED))); }).join();
    try {
        corun::details::wait_get(g);
        FAIL();
    } catch (const corun::details::hresult_error& e) {
        EXPECT_EQ(e.code(), E_ACCESSDENIED);
    }
}

TEST(FutureAwait, ValueRacingAwaitSuspendResumesExactlyOnce)
{
    // The store lands between await_ready and await_suspend: await_suspend must see it under
    // the lock and decline, or the waiter would sleep on a state that resumes nobody.
    {
        auto state = std::make_shared<corun::details::promise_type_<int>>();
        std::atomic<int> resumptions{0};
        auto waiter = counting(resumptions);
        corun::details::state_observer<int> awaiter(*state);
        ASSERT_FALSE(awaiter.await_ready());
        std::thread([&] { state->set_value(7); }).join();
        EXPECT_FALSE(awaiter.await_suspend(waiter.handle));
        EXPECT_FALSE(has_continuation(*state));
        EXPECT_EQ(resumptions.load(), 0);
    }
    // The store after await_suspend resumes the waiter, once.
    {
        auto state = std::make_shared<corun::details::promise_type_<int>>();
        std::atomic<int> resumptions{0};
        auto waiter = counting(resumptions);
        corun::details::state_observer<int> awaiter(*state);
        ASSERT_FALSE(awaiter.await_ready());
        ASSERT_TRUE(awaiter.await_suspend(waiter.handle));
        std::thread([&] { state->set_value(8); }).join();
        EXPECT_EQ(resumptions.load(), 1);
    }
}

TEST(ResumeBackground, ContinuesOnAPoolThread)
{
    DWORD thread = 0;
    auto f = on_pool(&thread);
    corun::details::wait_get(f);
    EXPECT_NE(thread, 0u);
    EXPECT_NE(thread, GetCurrentThreadId());
}

TEST(BlockingWait, OnlyAWaitThatMustSleepStartsAWaitCoroutine)
{
    auto complete = immediate(5);
    const long before = allocations_on_this_thread;
    EXPECT_EQ(corun::details::wait_get(complete), 5);
    EXPECT_EQ(allocations_on_this_thread, before);

    // The counter does see the wait coroutine of a wait that has to sleep. The producer
    // completes only once the blocking wait's coroutine is suspended on pending itself, so the
    // wait cannot find the result there already.
    auto state = std::make_shared<corun::details::promise_type_<int>>();
    auto pending = wait_for_event(state);
    std::thread producer([&] {
        while (!has_continuation(pending.state()))
            SwitchToThread();
        state->set_value(1);
    });
    const long before_sleep = allocations_on_this_thread;
    EXPECT_EQ(corun::details::wait_get(pending), 2);
    EXPECT_GT(allocations_on_this_thread, before_sleep);
    producer.join();
}
