#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "../support/pool_refusal.h"
#include "corun/corun.h"
#include "corun/unique_any.h"

using corun::cancellation_source;
using corun::cancellation_subscription;
using corun::cancellation_token;
using corun::details::future;

namespace {

// Manual-reset event holder for the tests.
struct event {
    corun::details::unique_handle h{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    void set() { SetEvent(h.get()); }
    bool wait(DWORD ms = 5000) { return WaitForSingleObject(h.get(), ms) == WAIT_OBJECT_0; }
};

future<int> ready_value(int v)
{
    co_return v;
}

// Takes a token bound to its own promise, waits for the test's gate, then awaits a future:
// that await is where a cancellation that came meanwhile is noticed.
future<int> cancellable_wait(cancellation_source source, std::shared_ptr<corun::details::promise_type_<int>> gate)
{
    auto& self = co_await corun::details::current_promise{};
    cancellation_token token(source, &self.cancelled);
    int v = co_await corun::details::awaiting(*gate);
    co_return co_await ready_value(v);
}

} // namespace

TEST(Cancellation, CancellingTwiceRunsEachCallbackOnce)
{
    cancellation_source source;
    cancellation_token token(source);
    std::atomic<int> runs{0};
    event done;
    {
        cancellation_subscription sub(token, [&] {
            ++runs;
            done.set();
        });
        source.cancel();
        source.cancel();
        ASSERT_TRUE(done.wait());
    }
    EXPECT_EQ(runs.load(), 1);
    EXPECT_TRUE(token.is_cancelled());
    EXPECT_TRUE(source.is_cancelled());
}

TEST(Cancellation, TokenFromCancelledSourceIsRefused)
{
    cancellation_source source;
    source.cancel();
    EXPECT_THROW(cancellation_token token(source), corun::details::operation_cancelled);
}

TEST(Cancellation, SubscriptionAfterCancellationDoesNotRunButTokenTellsCancelled)
{
    cancellation_source source;
    cancellation_token token(source);
    source.cancel();
    std::atomic<int> runs{0};
    {
        cancellation_subscription sub(token, [&] { ++runs; });
        EXPECT_TRUE(token.is_cancelled());
    }
    EXPECT_EQ(runs.load(), 0);
}

TEST(Cancellation, SubscriptionDestroyedBeforeCancelReturnsAtOnceAndNeverRuns)
{
    cancellation_source source;
    cancellation_token token(source);
    std::atomic<int> runs{0};
    { cancellation_subscription sub(token, [&] { ++runs; }); }
    source.cancel();
    EXPECT_EQ(runs.load(), 0);
}

TEST(Cancellation, DestructorWaitsForCallbackWorkInProgress)
{
    cancellation_source source;
    cancellation_token token(source);
    event started;
    event release;
    std::atomic<bool> finished{false};
    std::thread destroyer;
    {
        auto sub = std::make_unique<cancellation_subscription<std::function<void()>>>(token, std::function<void()>([&] {
            started.set();
            release.wait();
            finished = true;
        }));
        source.cancel();
        ASSERT_TRUE(started.wait());
        std::atomic<bool> destroyed{false};
        destroyer = std::thread([&] {
            sub.reset();
            destroyed = true;
        });
        // The destroyer must be blocked while the work runs.
        Sleep(50);
        EXPECT_FALSE(destroyed.load());
        release.set();
        destroyer.join();
        EXPECT_TRUE(destroyed.load());
    }
    EXPECT_TRUE(finished.load());
}

TEST(Cancellation, WorkNeverRunsOnTheCancellingThreadEvenWhenThePoolRefusesCallbacks)
{
    // Run on the cancelling thread, the work would hold the source's and the token's locks: work
    // that looks at its source, as work may, would wait for ever on a lock its thread holds.
    // Should that happen, the objects it uses are left alive for it.
    auto source = std::make_unique<cancellation_source>();
    auto token = std::make_unique<cancellation_token>(*source);
    auto ran_on = std::make_unique<std::atomic<DWORD>>(0);
    auto done = std::make_unique<event>();
    auto sub = std::make_unique<cancellation_subscription<std::function<void()>>>(
        *token, std::function<void()>([source = source.get(), ran_on = ran_on.get(), done = done.get()] {
            (void)source->is_cancelled();
            ran_on->store(GetCurrentThreadId());
            done->set();
        }));
    DWORD canceller = 0;
    bool ran = false;
    {
        pool_refusal refusal;
        std::thread cancelling([&] {
            canceller = GetCurrentThreadId();
            source->cancel();
        });
        ran = done->wait(10000);
        if (ran)
            cancelling.join();
        else
            cancelling.detach();
    }
    if (!ran) {
        ADD_FAILURE() << "the work never ran";
        (void)sub.release();
        (void)token.release();
        (void)source.release();
        (void)ran_on.release();
        (void)done.release();
        return;
    }
    EXPECT_NE(ran_on->load(), canceller);
    sub.reset();
}

TEST(Cancellation, SubscriptionWhoseWorkCannotBeMadeIsRefusedAndNeverRuns)
{
    cancellation_source source;
    cancellation_token token(source);
    std::atomic<int> runs{0};
    {
        work_refusal refusal;
        try {
            cancellation_subscription sub(token, [&] { ++runs; });
            ADD_FAILURE() << "made without its work";
        } catch (const corun::details::hresult_error& e) {
            EXPECT_EQ(e.code(), work_refusal::error);
        }
    }
    source.cancel();
    EXPECT_EQ(runs.load(), 0);
}

TEST(Cancellation, ParentCancelsLivingAndLateChildrenAndSkipsDestroyedOnes)
{
    cancellation_source parent;
    auto child = cancellation_source::child_of(parent);
    auto grandchild = cancellation_source::child_of(child);
    { auto gone = cancellation_source::child_of(parent); }
    cancellation_token token(grandchild);
    parent.cancel();
    EXPECT_TRUE(child.is_cancelled());
    EXPECT_TRUE(grandchild.is_cancelled());
    EXPECT_TRUE(token.is_cancelled());

    // The parent cancels only once, so a child made afterwards starts cancelled: an operation
    // started during shutdown is refused instead of waiting for ever.
    auto late = cancellation_source::child_of(parent);
    EXPECT_TRUE(late.is_cancelled());
    EXPECT_THROW(cancellation_token refused(late), corun::details::operation_cancelled);
    EXPECT_TRUE(cancellation_source::child_of(late).is_cancelled());
}

TEST(Cancellation, DeadChildrenAreDroppedSoTheListFollowsTheLivingOnes)
{
    cancellation_source parent;
    std::vector<cancellation_source> living;
    for (int i = 0; i < 10000; ++i) {
        auto child = cancellation_source::child_of(parent);
        if (i % 1000 == 0)
            living.push_back(child);
    }
    EXPECT_LT(parent.body()->children.size(), 64u);
    parent.cancel();
    for (const auto& child : living)
        EXPECT_TRUE(child.is_cancelled());
}

TEST(Cancellation, CancelBeforeDuringAndAfterACoroutineWait)
{
    // Before: the token cannot be taken, the coroutine fails at once.
    {
        cancellation_source source;
        source.cancel();
        auto gate = std::make_shared<corun::details::promise_type_<int>>();
        auto f = cancellable_wait(source, gate);
        EXPECT_THROW(corun::details::wait_get(f), corun::details::operation_cancelled);
    }
    // Cancelled while the coroutine waits: its own flag ends its next await.
    {
        cancellation_source source;
        auto gate = std::make_shared<corun::details::promise_type_<int>>();
        auto f = cancellable_wait(source, gate);
        source.cancel();
        gate->set_value(1);
        EXPECT_THROW(corun::details::wait_get(f), corun::details::operation_cancelled);
    }
    // After the wait completed: the result stands.
    {
        cancellation_source source;
        auto gate = std::make_shared<corun::details::promise_type_<int>>();
        gate->set_value(7);
        auto f = cancellable_wait(source, gate);
        EXPECT_EQ(corun::details::wait_get(f), 7);
        source.cancel();
    }
}

TEST(Cancellation, CancelRacingTokenRegistrationIsNeverLost)
{
    // Either the token is refused, or it is registered and then told: never neither.
    for (int i = 0; i < 500; ++i) {
        cancellation_source source;
        std::thread canceller([&] { source.cancel(); });
        bool told = false;
        try {
            cancellation_token token(source);
            canceller.join();
            told = token.is_cancelled();
        } catch (const corun::details::operation_cancelled&) {
            canceller.join();
            told = true;
        }
        EXPECT_TRUE(told);
    }
}
