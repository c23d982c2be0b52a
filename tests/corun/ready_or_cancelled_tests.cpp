#include <atomic>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <thread>

#include <gtest/gtest.h>
#include <windows.h>

#include "corun/corun.h"
#include "corun/unique_any.h"
#include "../support/pool_refusal.h"
#include "frame_counter.h"

using corun::cancellation_source;
using corun::details::future;
using corun::details::promise_type_;

namespace {

struct finish {
    bool cancelled = false;
    long error = 0; // of a failure other than the cancellation
    DWORD thread = 0;
    bool source_held_tokens = false;
};

bool holds_tokens(const cancellation_source& source)
{
    std::shared_lock guard(source.body()->lock);
    return !source.body()->tokens.empty();
}

// Awaits the wait the way callers do and records how and where it went on, and whether the
// wait still had a token linked to source when it resumed its owner.
future<finish> await_wait(future<void> wait, std::atomic<int>* resumed = nullptr,
                          const cancellation_source* source = nullptr, counted_frame = {})
{
    finish f;
    try {
        co_await std::move(wait);
    } catch (const corun::details::operation_cancelled&) {
        f.cancelled = true;
    } catch (const corun::details::hresult_error& e) {
        f.error = e.code();
    }
    f.thread = GetCurrentThreadId();
    if (source)
        f.source_held_tokens = holds_tokens(*source);
    if (resumed)
        ++*resumed;
    co_return f;
}

struct event {
    corun::details::unique_handle h{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    bool wait(DWORD ms) { return WaitForSingleObject(h.get(), ms) == WAIT_OBJECT_0; }
};

// Awaits the wait and sets done on every way out, so that a test can bound its wait.
future<finish> signalled_wait(future<void> wait, event& done)
{
    struct set_on_exit {
        event& e;
        ~set_on_exit() { SetEvent(e.h.get()); }
    } guard{done};
    co_return co_await await_wait(std::move(wait));
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
    auto waiting = await_wait(corun::details::ready_or_cancelled(other, source), nullptr, &source);
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
    // The owner runs only once the wait has left the source: it may free the state or cancel
    // the source at once.
    EXPECT_FALSE(f.source_held_tokens);
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

TEST(ReadyOrCancelled, ACancellationIsDeliveredWhateverNewWorkThePoolRefuses)
{
    // The source cancels once: a pool that refuses new callbacks at that moment must not make
    // the wait miss it.
    {
        auto state = std::make_shared<promise_type_<int>>();
        cancellation_source source;
        event done;
        auto waiting = signalled_wait(corun::details::ready_or_cancelled(*state, source), done);
        {
            pool_refusal refusal;
            source.cancel();
            const bool ended = done.wait(10000);
            EXPECT_TRUE(ended) << "the cancellation was lost";
            if (!ended)
                state->set_value(0);
        }
        const finish f = corun::details::wait_get(waiting);
        EXPECT_TRUE(f.cancelled);
        EXPECT_NE(f.thread, GetCurrentThreadId());
        EXPECT_FALSE(state->continuation);
    }
    // A wait whose work item cannot be made fails with that error before it suspends.
    {
        auto state = std::make_shared<promise_type_<int>>();
        cancellation_source source;
        std::optional<future<finish>> waiting;
        {
            work_refusal refusal;
            waiting.emplace(await_wait(corun::details::ready_or_cancelled(*state, source)));
        }
        ASSERT_TRUE(waiting->ready());
        EXPECT_EQ(waiting->get().error, work_refusal::error);
        EXPECT_FALSE(state->continuation);
        EXPECT_FALSE(holds_tokens(source));
    }
}
