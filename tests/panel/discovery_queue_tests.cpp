// The queue of discovery queries: what a flood of replies can start, and what it leaves out.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "corun/srw_lock.h"
#include "discovery_queue.h"

namespace {

corun::details::future<void> done()
{
    co_return;
}

// Queries that block their thread until released, as a pipe open to a busy server does, and
// record what ran where and how many ran at once.
class gated_queries {
public:
    gated_queries() : gate_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~gated_queries()
    {
        release();
        // Every query has left the gate before the recorder goes.
        EXPECT_TRUE(wait([&] { return running_ == 0; }));
        CloseHandle(gate_);
    }

    panel::discovery_queue::query_function function()
    {
        return [this](const std::wstring& name) {
            {
                std::lock_guard guard(lock_);
                started_.push_back(name);
                threads_.push_back(GetCurrentThreadId());
                ++running_;
                peak_ = std::max(peak_, running_);
                if (++running_names_[name] > 1)
                    overlapped_ = true;
            }
            WaitForSingleObject(gate_, INFINITE);
            std::lock_guard guard(lock_);
            --running_names_[name];
            --running_;
            ++ended_;
            return done();
        };
    }
    void release() { SetEvent(gate_); }

    template <class F> bool wait(F condition)
    {
        for (int i = 0; i < 1000; ++i) {
            {
                std::lock_guard guard(lock_);
                if (condition())
                    return true;
            }
            Sleep(10);
        }
        std::lock_guard guard(lock_);
        return condition();
    }

    corun::details::srw_lock lock_;
    std::vector<std::wstring> started_;
    std::vector<DWORD> threads_;
    std::map<std::wstring, int> running_names_;
    int running_ = 0;
    int peak_ = 0;
    int ended_ = 0;
    bool overlapped_ = false;

private:
    HANDLE gate_;
};

} // namespace

TEST(DiscoveryQueue, OneQueryPerNameAFewAtOnceAndABoundedWaitingList)
{
    gated_queries queries;
    panel::discovery_queue queue(queries.function(), 2, 3);
    EXPECT_TRUE(queue.offer(L"A"));
    EXPECT_TRUE(queue.offer(L"B"));
    ASSERT_TRUE(queries.wait([&] { return queries.started_.size() == 2; }));
    // A name under way or waiting is taken, not queued twice; others wait within the bound.
    EXPECT_TRUE(queue.offer(L"A"));
    EXPECT_TRUE(queue.offer(L"A"));
    EXPECT_TRUE(queue.offer(L"C"));
    EXPECT_TRUE(queue.offer(L"D"));
    EXPECT_TRUE(queue.offer(L"C"));
    EXPECT_TRUE(queue.offer(L"E"));
    EXPECT_FALSE(queue.offer(L"F")) << "a name beyond the waiting list is dropped";
    Sleep(50);
    {
        std::lock_guard guard(queries.lock_);
        EXPECT_EQ(queries.started_.size(), 2u) << "offers start no query beyond the bound";
    }

    // Released, the waiting names run, and A once more for its repeats.
    queries.release();
    ASSERT_TRUE(queries.wait([&] { return queries.ended_ == 6; }));
    Sleep(50);
    std::lock_guard guard(queries.lock_);
    EXPECT_EQ(queries.started_.size(), 6u);
    std::vector<std::wstring> later(queries.started_.begin() + 2, queries.started_.end());
    std::sort(later.begin(), later.end());
    EXPECT_EQ(later, (std::vector<std::wstring>{L"A", L"C", L"D", L"E"}));
    EXPECT_LE(queries.peak_, 2);
    EXPECT_FALSE(queries.overlapped_) << "two queries of one name ran at once";
    for (DWORD thread : queries.threads_)
        EXPECT_NE(thread, GetCurrentThreadId()) << "a query ran on the thread that offered it";
}

TEST(DiscoveryQueue, ClosingDropsTheWaitingNamesAndRefusesMore)
{
    gated_queries queries;
    {
        panel::discovery_queue queue(queries.function(), 1, 5);
        EXPECT_TRUE(queue.offer(L"A"));
        EXPECT_TRUE(queue.offer(L"B"));
        EXPECT_TRUE(queue.offer(L"A"));
        ASSERT_TRUE(queries.wait([&] { return queries.started_.size() == 1; }));
        queue.close();
        EXPECT_FALSE(queue.offer(L"C"));
    }
    // The query under way ends by itself, after its queue is gone; nothing follows it.
    queries.release();
    ASSERT_TRUE(queries.wait([&] { return queries.ended_ == 1; }));
    Sleep(50);
    std::lock_guard guard(queries.lock_);
    EXPECT_EQ(queries.started_, std::vector<std::wstring>{L"A"});
}
