#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "corun/corun.h"
#include "frame_counter.h"

using corun::details::future;

namespace {

// A result that the test completes by hand from any thread.
struct manual_event {
    std::shared_ptr<corun::details::promise_type_<int>> state = std::make_shared<corun::details::promise_type_<int>>();
};

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

TEST(FutureAwait, ReadyFutureDoesNotSuspendAndValuesChain)
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
    for (int i = 0; i < 2000; ++i) {
        manual_event ev;
        auto f = wait_for_event(ev.state);
        std::thread t([&] { ev.state->set_value(i); });
        EXPECT_EQ(corun::details::wait_get(f), i + 1);
        t.join();
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

TEST(BlockingWait, CompleteFutureNeedsNoWaitCoroutine)
{
    frames_alive = 0;
    auto f = immediate(5);
    EXPECT_EQ(corun::details::wait_get(f), 5);
}
