#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <stdexcept>

#include <gtest/gtest.h>
#include <windows.h>

#include "corun/corun.h"
#include "test_dialog.h"
#include "wl/thread_capable.h"

namespace {

// One address whose release through operator delete is watched: a record is freed exactly when
// its own memory goes back, whatever became of the objects it held.
std::atomic<void*> watched_address{nullptr};
std::atomic<bool> watched_freed{false};

void watch_release(void* address)
{
    watched_freed = false;
    watched_address = address;
}

} // namespace

void operator delete(void* p) noexcept
{
    if (p && p == watched_address.load()) {
        watched_address = nullptr;
        watched_freed = true;
    }
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    ::operator delete(p);
}

namespace {

// Counts resume messages fetched by the UI thread's queue and keeps the last one's WPARAM.
std::atomic<int> resumes_fetched{0};
WPARAM last_resume = 0;
UINT counted_message = 0;

LRESULT CALLBACK count_resumes(int code, WPARAM wParam, LPARAM lParam)
{
    const auto* msg = reinterpret_cast<const MSG*>(lParam);
    if (code == HC_ACTION && wParam == PM_REMOVE && msg->message == counted_message) {
        ++resumes_fetched;
        last_resume = msg->wParam;
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

class resume_counter {
public:
    resume_counter()
    {
        counted_message = test_main::resume_message;
        resumes_fetched = 0;
        hook_ = SetWindowsHookExW(WH_GETMESSAGE, &count_resumes, nullptr, GetCurrentThreadId());
    }
    ~resume_counter() { UnhookWindowsHookEx(hook_); }

private:
    HHOOK hook_;
};

struct trace {
    DWORD before = 0;
    DWORD after = 0;
    int fetched_at_resume = -1;
    bool finished = false;
    bool cancelled = false;
};

// What the coroutine does once back on the window's thread.
enum class then { close_window, next_stage };

corun::future<void> continue_on_window(test_main* d, trace& t, bool hop_to_pool, then next = then::close_window)
{
    if (hop_to_pool)
        co_await corun::resume_background();
    t.before = GetCurrentThreadId();
    try {
        co_await d->resume_on_window();
    } catch (const corun::details::operation_cancelled&) {
        t.cancelled = true;
    }
    t.after = GetCurrentThreadId();
    t.fetched_at_resume = resumes_fetched;
    t.finished = true;
    if (t.cancelled)
        co_return;
    if (next == then::close_window)
        DestroyWindow(d->hwnd());
    else
        PostMessageW(d->hwnd(), WM_APP, 0, 0);
}

// Waits, bounded, until the future holds its result.
bool ends_in_time(const corun::future<void>& f)
{
    for (int i = 0; i < 500 && !f.ready(); ++i)
        Sleep(10);
    return f.ready();
}

// Waits, bounded, until a resume message for window is in the thread's queue (not taking it).
bool resume_queued(HWND window)
{
    MSG msg;
    for (int i = 0; i < 500; ++i) {
        if (PeekMessageW(&msg, window, test_main::resume_message, test_main::resume_message, PM_NOREMOVE))
            return true;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_POSTMESSAGE);
    }
    return false;
}

DWORD WINAPI post_from_another_thread(void* context)
{
    auto* args = static_cast<std::pair<test_main*, wl::wli::marshalled_call*>*>(context);
    args->first->link->post_call(std::unique_ptr<wl::wli::marshalled_call>(args->second));
    delete args;
    return 0;
}

} // namespace

TEST(AsyncWindow, AwaitOnTheWindowThreadContinuesInlineWithoutPosting)
{
    resume_counter counter;
    trace t;
    corun::future<void> running;
    test_main dialog([&](test_main& d) {
        running = continue_on_window(&d, t, false);
        // Already finished inside this handler: nothing was posted.
        EXPECT_TRUE(t.finished);
        return false;
    });
    EXPECT_EQ(dialog.run_loop(), 0);
    EXPECT_EQ(t.before, GetCurrentThreadId());
    EXPECT_EQ(t.after, GetCurrentThreadId());
    EXPECT_EQ(resumes_fetched, 0);
}

TEST(AsyncWindow, AwaitFromPoolThreadPostsOneResumeAndContinuesOnTheWindowThread)
{
    for (int round = 0; round < 20; ++round) {
        resume_counter counter;
        trace t;
        corun::future<void> running;
        test_main dialog([&](test_main& d) {
            running = continue_on_window(&d, t, true);
            return false;
        });
        ASSERT_EQ(dialog.run_loop(), 0);
        ASSERT_TRUE(t.finished);
        EXPECT_NE(t.before, GetCurrentThreadId());
        EXPECT_EQ(t.after, GetCurrentThreadId());
        // Resumed inside the dispatch of the one resume message.
        EXPECT_EQ(t.fetched_at_resume, 1);
        EXPECT_EQ(resumes_fetched, 1);
    }
}

TEST(AsyncWindow, ResumeThatTheWindowCanNoLongerReceiveEndsCancelledOffTheWindowThread)
{
    // Posted while the window still exists, then the window goes before its loop fetches it.
    trace queued;
    corun::future<void> waiting;
    test_main dialog([&](test_main& d) {
        waiting = continue_on_window(&d, queued, true);
        EXPECT_TRUE(resume_queued(d.hwnd()));
        return true; // the window is destroyed with the resume still queued
    });
    EXPECT_EQ(dialog.run_loop(), 0);
    ASSERT_TRUE(ends_in_time(waiting));
    EXPECT_TRUE(queued.cancelled);
    EXPECT_NE(queued.after, GetCurrentThreadId());

    // Asked for after the window has gone: the post fails and the coroutine learns it at once.
    trace late;
    auto after_close = continue_on_window(&dialog, late, true);
    ASSERT_TRUE(ends_in_time(after_close));
    EXPECT_TRUE(late.cancelled);
    EXPECT_EQ(late.after, late.before);
}

TEST(AsyncWindow, ForgedOrRepeatedResumeAndCallMessagesAreIgnored)
{
    resume_counter counter;
    trace t;
    corun::future<void> running;
    int stage = 0;
    test_main dialog([&](test_main& d) {
        const HWND w = d.hwnd();
        switch (stage++) {
        case 0:
            // Made-up and empty values, as any process that can post to the window could send.
            PostMessageW(w, test_main::resume_message, 0x12345670, 0);
            PostMessageW(w, test_main::resume_message, 0, 0);
            PostMessageW(w, wl::wli::marshalled_call_message, 0, 0xDEAD0);
            PostMessageW(w, wl::wli::marshalled_call_message, 0, 0);
            running = continue_on_window(&d, t, true, then::next_stage);
            return false;
        case 1:
            // The genuine resume was received (the coroutine started this stage); sending its
            // value again must do nothing.
            PostMessageW(w, test_main::resume_message, last_resume, 0);
            PostMessageW(w, WM_APP, 0, 0);
            return false;
        default:
            return true;
        }
    });
    EXPECT_EQ(dialog.run_loop(), 0);
    EXPECT_TRUE(t.finished);
    EXPECT_FALSE(t.cancelled);
    EXPECT_EQ(t.after, GetCurrentThreadId());
    EXPECT_EQ(stage, 3);
}

TEST(MarshalledCall, RecordIsRunOnTheWindowThreadAndFreed)
{
    DWORD ran_on = 0;
    test_main dialog([&](test_main& d) {
        auto* record = new wl::wli::marshalled_call;
        record->call = [&ran_on, &d] {
            ran_on = GetCurrentThreadId();
            DestroyWindow(d.hwnd());
        };
        watch_release(record);
        HANDLE poster = CreateThread(nullptr, 0, &post_from_another_thread,
                                     new std::pair<test_main*, wl::wli::marshalled_call*>(&d, record), 0, nullptr);
        CloseHandle(poster);
        return false;
    });
    EXPECT_EQ(dialog.run_loop(), 0);
    EXPECT_EQ(ran_on, GetCurrentThreadId());
    EXPECT_TRUE(watched_freed);
}

TEST(MarshalledCall, CarriedErrorIsReportedQuitsWithMinusOneAndFreesTheRecord)
{
    box_closer closer(GetCurrentThreadId());
    test_main dialog([&](test_main& d) {
        auto record = std::make_unique<wl::wli::marshalled_call>();
        record->call = [] { ADD_FAILURE() << "call ran despite its error"; };
        record->error = std::make_exception_ptr(std::runtime_error("marshalled failure"));
        watch_release(record.get());
        EXPECT_TRUE(d.link->post_call(std::move(record)));
        return false;
    });
    EXPECT_EQ(dialog.run_loop(), -1);
    const seen_box box = closer.result();
    EXPECT_TRUE(box.found);
    EXPECT_EQ(box.caption, "Oops... runtime error");
    EXPECT_EQ(box.text, "marshalled failure");
    EXPECT_TRUE(watched_freed);
}

TEST(MarshalledCall, RecordStillOnItsWayWhenTheWindowGoesIsFreedWithoutRunning)
{
    bool ran = false;
    test_main dialog([&](test_main& d) {
        auto record = std::make_unique<wl::wli::marshalled_call>();
        record->call = [&ran] { ran = true; };
        watch_release(record.get());
        EXPECT_TRUE(d.link->post_call(std::move(record)));
        return true; // destroyed before the loop fetches the call
    });
    EXPECT_EQ(dialog.run_loop(), 0);
    EXPECT_FALSE(ran);
    EXPECT_TRUE(watched_freed);
    // Posting to a window that is gone fails and frees the record at once.
    auto record = std::make_unique<wl::wli::marshalled_call>();
    watch_release(record.get());
    EXPECT_FALSE(dialog.link->post_call(std::move(record)));
    EXPECT_TRUE(watched_freed);
}
