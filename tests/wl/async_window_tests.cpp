#include <atomic>
#include <memory>
#include <stdexcept>

#include <gtest/gtest.h>
#include <windows.h>

#include "corun/corun.h"
#include "test_dialog.h"
#include "wl/thread_capable.h"

namespace {

// Counts resume messages fetched by the UI thread's queue.
std::atomic<int> resumes_fetched{0};
UINT counted_message = 0;

LRESULT CALLBACK count_resumes(int code, WPARAM wParam, LPARAM lParam)
{
    const auto* msg = reinterpret_cast<const MSG*>(lParam);
    if (code == HC_ACTION && wParam == PM_REMOVE && msg->message == counted_message)
        ++resumes_fetched;
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
};

corun::future<void> continue_on_window(test_main& d, trace& t, bool hop_to_pool)
{
    if (hop_to_pool)
        co_await corun::resume_background();
    t.before = GetCurrentThreadId();
    co_await d.resume_on_window();
    t.after = GetCurrentThreadId();
    t.fetched_at_resume = resumes_fetched;
    t.finished = true;
    DestroyWindow(d.hwnd());
}

// Destroys its flag's owner when freed, so a test can see that the record's callable died.
struct destruction_flag {
    std::shared_ptr<bool> freed;
    ~destruction_flag()
    {
        if (freed)
            *freed = true;
    }
};

} // namespace

TEST(AsyncWindow, AwaitOnTheWindowThreadContinuesInlineWithoutPosting)
{
    resume_counter counter;
    trace t;
    corun::future<void> running;
    test_main dialog([&](test_main& d) {
        running = continue_on_window(d, t, false);
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
            running = continue_on_window(d, t, true);
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

TEST(MarshalledCall, RecordIsRunOnTheWindowThreadAndFreed)
{
    auto freed = std::make_shared<bool>(false);
    DWORD ran_on = 0;
    test_main dialog([&](test_main& d) {
        auto* record = new wl::wli::marshalled_call;
        record->call = [&ran_on, flag = destruction_flag{freed}, &d] {
            ran_on = GetCurrentThreadId();
            DestroyWindow(d.hwnd());
        };
        HANDLE poster = CreateThread(nullptr, 0, [](void* r) -> DWORD {
            auto* args = static_cast<std::pair<HWND, wl::wli::marshalled_call*>*>(r);
            PostMessageW(args->first, wl::wli::marshalled_call_message, 0, reinterpret_cast<LPARAM>(args->second));
            delete args;
            return 0;
        }, new std::pair<HWND, wl::wli::marshalled_call*>(d.hwnd(), record), 0, nullptr);
        CloseHandle(poster);
        return false;
    });
    EXPECT_EQ(dialog.run_loop(), 0);
    EXPECT_EQ(ran_on, GetCurrentThreadId());
    EXPECT_TRUE(*freed);
}

TEST(MarshalledCall, CarriedErrorIsReportedQuitsWithMinusOneAndFreesTheRecord)
{
    auto freed = std::make_shared<bool>(false);
    box_closer closer(GetCurrentThreadId());
    test_main dialog([&](test_main& d) {
        auto* record = new wl::wli::marshalled_call;
        record->call = [flag = destruction_flag{freed}] { ADD_FAILURE() << "call ran despite its error"; };
        record->error = std::make_exception_ptr(std::runtime_error("marshalled failure"));
        PostMessageW(d.hwnd(), wl::wli::marshalled_call_message, 0, reinterpret_cast<LPARAM>(record));
        return false;
    });
    EXPECT_EQ(dialog.run_loop(), -1);
    const seen_box box = closer.result();
    EXPECT_TRUE(box.found);
    EXPECT_EQ(box.caption, "Oops... runtime error");
    EXPECT_EQ(box.text, "marshalled failure");
    EXPECT_TRUE(*freed);
}
