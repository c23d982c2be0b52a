#include <atomic>
#include <memory>
#include <thread>

#include <gtest/gtest.h>
#include <windows.h>

#include "corun/corun.h"
#include "frame_counter.h"

using corun::cancellation_source;
using corun::details::future;
using corun::details::promise_type_;

namespace {

struct finish {
    bool cancelled = false;
    DWORD thread = 0;
};

// Awaits the wait the way callers do and records how and where it went on.
future<finish> await_wait(future<void> wait, std::atomic<int>* resumed = nullptr, counted_frame = {})
{
    finish f;
    try {
        co_await std::move(wait);
    } catch (const corun::details::operation_cancelled&) {
        f.cancelled = true;
    }
    f.thread = GetCurrentThreadId();
    if (resumed)
        ++*resumed;
    co_return f;
}

// A wait that ended on a pool thread may still be leaving its frames there when its result is
// taken: true once every counted frame has gone, false if one is still alive after 5 s.
bool frames_gone()
{
    const ULONGLONG deadline = GetTickCount64() + 5000;
    while (frames_alive.load() != 0) {
        if (GetTickCount64() > deadline)
            return false;
        SwitchToThread();
    }
    return true;
}

future<int> value_after(std::shared_ptr<promise_type_<int>> gate)
{
    co_return co_await corun::details::awaiting(*gate) * 10;
}

} // namespace

TEST(ReadyOrCancelled, ResultFirstCompletesOnTheStoringThreadAndLeavesTheResult)
{
    frames_alive = 0;
    auto gate = std::make_shared<promise_type_<int>>();
    auto other = value_after(gate);
    cancellation_source source;
    auto waiting = await_wait(corun::details::ready_or_cancelled(other, source));
    EXPECT_FALSE(waiting.ready());

    DWORD storing_thread = 0;
    std::thread([&] {
        storing_thread = GetCurrentThreadId();
        gate->set_value(4);
    }).join();
    ASSERT_TRUE(waiting.ready());
    const finish f = waiting.get();
    EXPECT_FALSE(f.cancelled);
    EXPECT_EQ(f.thread, storing_thread);
    // A later cancellation changes nothing, and the result is still the owner's to take.
    source.cancel();
    EXPECT_EQ(other.get(), 40);
    waiting.release();
    EXPECT_EQ(frames_alive.load(), 0);
}

TEST(ReadyOrCancelled, CancellationFirstEndsOnAPoolThreadAndDetachesFromTheState)
{
    frames_alive = 0;
    auto state = std::make_shared<promise_type_<int>>();
    cancellation_source source;
    auto waiting = await_wait(corun::details::ready_or_cancelled(*state, source));
    EXPECT_TRUE(state->continuation);
    source.cancel();
    const finish f = corun::details::wait_get(waiting);
    EXPECT_TRUE(f.cancelled);
    EXPECT_NE(f.thread, GetCurrentThreadId());
    // The state no longer refers to the wait: its completion resumes nothing, its value stays.
    EXPECT_FALSE(state->continuation);
    state->set_value(3);
    EXPECT_EQ(state->take_result(), 3);
    waiting.release();
    EXPECT_TRUE(frames_gone());
}

TEST(ReadyOrCancelled, AlreadyCancelledOrAlreadyCompleteDoesNotWait)
{
    {
        auto state = std::make_shared<promise_type_<void>>();
        cancellation_source source;
        source.cancel();
        auto waiting = await_wait(corun::details::ready_or_cancelled(*state, source));
        ASSERT_TRUE(waiting.ready());
        EXPECT_TRUE(waiting.get().cancelled);
        EXPECT_FALSE(state->continuation);
    }
    {
        auto state = std::make_shared<promise_type_<void>>();
        state->set_value();
        cancellation_source source;
        auto waiting = await_wait(corun::details::ready_or_cancelled(*state, source));
        ASSERT_TRUE(waiting.ready());
        const finish f = waiting.get();
        EXPECT_FALSE(f.cancelled);
        EXPECT_EQ(f.thread, GetCurrentThreadId());
    }
}

TEST(ReadyOrCancelled, ResultRacingCancellationResumesTheWaiterExactlyOnce)
{
    for (int i = 0; i < 500; ++i) {
        auto state = std::make_shared<promise_type_<void>>();
        cancellation_source source;
        std::atomic<int> resumed{0};
        auto waiting = await_wait(corun::details::ready_or_cancelled(*state, source), &resumed);
        std::thread completer([&] { state->set_value(); });
        source.cancel();
        completer.join();
        corun::details::wait_get(waiting);
        ASSERT_EQ(resumed.load(), 1) << "round " << i;
    }
}
