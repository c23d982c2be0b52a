#include <atomic>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "corun/corun.h"
#include "corun/ready_or_cancelled.h"
#include "test_dialog.h"
#include "wl/progress.h"

namespace {

std::atomic<int> live_operations{0};

struct counted {
    counted() { ++live_operations; }
    counted(const counted&) { ++live_operations; }
    ~counted() { --live_operations; }
};

// Records "Please Wait" windows made on the UI thread, with the time since start.
struct shown_dialog {
    HWND hwnd;
    ULONGLONG at;
};
std::vector<shown_dialog> shown;
// When the run began, before its operation was made; and when its operation ended, after that.
ULONGLONG started = 0;
std::atomic<ULONGLONG> operation_ended_at{0};

// Ends after ms on a pool thread (at once on the caller's thread for 0), failing with hr if set.
corun::future<void> operation(DWORD ms, long hr, std::atomic<bool>* ended, counted = {})
{
    if (ms != 0) {
        co_await corun::resume_background();
        Sleep(ms);
    }
    operation_ended_at = GetTickCount64() - started;
    if (ended)
        *ended = true;
    if (hr != 0)
        throw corun::details::hresult_error(hr);
}

// Ends on a pool thread once done is set (or after ten seconds).
corun::future<void> operation_until(HANDLE done, std::atomic<bool>* ended, counted = {})
{
    co_await corun::resume_background();
    WaitForSingleObject(done, 10000);
    if (ended)
        *ended = true;
}
HANDLE dialog_shown = nullptr; // auto-reset, set at each creation

LRESULT CALLBACK watch_creation(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_CREATEWND) {
        const auto* create = reinterpret_cast<const CBT_CREATEWNDW*>(lParam);
        const wchar_t* name = create->lpcs->lpszName;
        if (name && !IS_INTRESOURCE(name) && std::wstring(name) == L"Please Wait") {
            shown.push_back({reinterpret_cast<HWND>(wParam), GetTickCount64() - started});
            SetEvent(dialog_shown);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Ends only once "Please Wait" is up (or after ten seconds), failing with hr if set: an
// operation that outlasts the threshold however late a loaded machine lets the UI thread look.
corun::future<void> operation_until_shown(long hr, counted = {})
{
    co_await corun::resume_background();
    // Made, then up: its closer is waiting for this operation by then.
    if (WaitForSingleObject(dialog_shown, 10000) == WAIT_OBJECT_0) {
        const HWND dialog = shown.back().hwnd;
        for (int i = 0; i < 1000 && !IsWindowVisible(dialog); ++i)
            Sleep(10);
    }
    if (hr != 0)
        throw corun::details::hresult_error(hr);
}

class creation_watch {
public:
    creation_watch()
    {
        shown.clear();
        dialog_shown = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        hook_ = SetWindowsHookExW(WH_CBT, &watch_creation, nullptr, GetCurrentThreadId());
    }
    ~creation_watch()
    {
        UnhookWindowsHookEx(hook_);
        CloseHandle(dialog_shown);
        dialog_shown = nullptr;
    }

private:
    HHOOK hook_;
};

struct outcome {
    bool returned = false;
    long hr = 0;
    ULONGLONG elapsed = 0;
};

// Runs the operation that make starts under run_with_progress; the clock starts before it does.
template <class Make> outcome run_operation(HWND parent, Make make)
{
    corun::details::cancellation_source source;
    outcome result;
    started = GetTickCount64();
    try {
        wl::run_with_progress(parent, source, make());
        result.returned = true;
    } catch (const corun::details::hresult_error& e) {
        result.hr = e.code();
    }
    result.elapsed = GetTickCount64() - started;
    return result;
}

struct quit_trace {
    DWORD quit_posted_on = 0;
    DWORD finished_on = 0;
    bool unreachable = false;
};

corun::future<void> on_window(test_main* d, DWORD* ran_on)
{
    co_await d->resume_on_window();
    *ran_on = GetCurrentThreadId();
}

// On the window's thread (inside "Please Wait") it posts a quit, as an exception report does,
// which ends the dialog's modal loop; then it needs the window's thread once more to end.
// watchdog bounds that last step, should the thread never serve it.
corun::future<void> quitting_operation(test_main* d, quit_trace& t, corun::cancellation_source watchdog)
{
    co_await corun::resume_background();
    // Served first by the modal loop of "Please Wait": the operation cannot end before.
    co_await d->resume_on_window();
    t.quit_posted_on = GetCurrentThreadId();
    PostQuitMessage(-7);
    co_await corun::resume_background();
    auto back = on_window(d, &t.finished_on);
    try {
        co_await corun::details::ready_or_cancelled(back, watchdog);
    } catch (const corun::details::operation_cancelled&) {
        t.unreachable = true;
    }
}

// Drops every resume posted to "Please Wait" on its way out of the UI thread's queue: to the
// dialog, as if the post of its closer had failed.
LRESULT CALLBACK drop_dialog_resumes(int code, WPARAM wParam, LPARAM lParam)
{
    auto* msg = reinterpret_cast<MSG*>(lParam);
    wchar_t title[32] = {};
    if (code == HC_ACTION && msg->message == test_main::resume_message && GetWindowTextW(msg->hwnd, title, 32) &&
        std::wstring(title) == L"Please Wait")
        msg->message = WM_NULL;
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Waits, bounded, until every operation frame has been freed.
bool operations_freed()
{
    for (int i = 0; i < 500 && live_operations != 0; ++i)
        Sleep(10);
    return live_operations == 0;
}

} // namespace

TEST(RunWithProgress, ShortOperationShowsNoDialogAndKeepsTheCursor)
{
    creation_watch watch;
    outcome result;
    HCURSOR before = nullptr, after = nullptr;
    test_main dialog([&](test_main& d) {
        before = GetCursor();
        result = run_operation(d.hwnd(), [] { return operation(100, 0, nullptr); });
        after = GetCursor();
        return true;
    });
    EXPECT_EQ(dialog.run_loop(), 0);
    EXPECT_TRUE(result.returned);
    EXPECT_GE(result.elapsed, 90u);
    // Ended well inside the threshold, which starts after the operation did, the operation
    // shows no dialog. (A machine so busy that 100 ms took 300 tells nothing about that.)
    EXPECT_TRUE(shown.empty() || operation_ended_at >= 300) << "ended after " << operation_ended_at << " ms";
    EXPECT_EQ(before, after);
    EXPECT_TRUE(operations_freed());
}

TEST(RunWithProgress, LongOperationShowsPleaseWaitAfterHalfASecondAndClosesIt)
{
    creation_watch watch;
    outcome result;
    std::atomic<bool> ended{false};
    bool ended_at_return = false;
    HCURSOR before = nullptr, after = nullptr;
    test_main dialog([&](test_main& d) {
        before = GetCursor();
        result = run_operation(d.hwnd(), [&] { return operation(2000, 0, &ended); });
        ended_at_return = ended;
        after = GetCursor();
        return true;
    });
    EXPECT_EQ(dialog.run_loop(), 0);
    EXPECT_TRUE(result.returned);
    EXPECT_TRUE(ended_at_return);
    EXPECT_GE(result.elapsed, 2000u);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_GE(shown[0].at, 500u);
    EXPECT_LT(shown[0].at, operation_ended_at.load()) << "shown only once the operation had ended";
    EXPECT_FALSE(IsWindow(shown[0].hwnd));
    EXPECT_EQ(before, after);
    EXPECT_TRUE(operations_freed());
}

TEST(RunWithProgress, FailureReachesTheCallerWithItsHresult)
{
    outcome slow, fast;
    test_main dialog([&](test_main& d) {
        slow = run_operation(d.hwnd(), [] { return operation(1000, static_cast<long>(0x80070005UL), nullptr); });
        fast = run_operation(d.hwnd(), [] { return operation(0, static_cast<long>(0x8007001FUL), nullptr); });
        return true;
    });
    EXPECT_EQ(dialog.run_loop(), 0);
    EXPECT_FALSE(slow.returned);
    EXPECT_EQ(slow.hr, static_cast<long>(0x80070005UL));
    EXPECT_FALSE(fast.returned);
    EXPECT_EQ(fast.hr, static_cast<long>(0x8007001FUL));
    EXPECT_TRUE(operations_freed());
}

TEST(RunWithProgress, ClosingPleaseWaitDoesNotEndTheWait)
{
    creation_watch watch;
    outcome result;
    std::atomic<bool> ended{false};
    bool ended_at_return = false;
    struct closer_args {
        DWORD ui_thread;
        HANDLE done; // set when the closer has tried everything: the operation then ends
        bool survived_close = false;
        bool survived_alt_f4 = false;
    } args{GetCurrentThreadId(), CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    HANDLE closer = nullptr;
    test_main dialog([&](test_main& d) {
        closer = CreateThread(nullptr, 0, [](void* context) -> DWORD {
            auto* a = static_cast<closer_args*>(context);
            HWND wait = wait_for_window(a->ui_thread, L"Please Wait");
            if (wait) {
                SendMessageW(wait, WM_CLOSE, 0, 0);
                a->survived_close = IsWindow(wait) && IsWindowVisible(wait);
                SendMessageW(wait, WM_SYSCOMMAND, SC_CLOSE, 0);
                SendMessageW(wait, WM_COMMAND, IDCANCEL, 0);
                a->survived_alt_f4 = IsWindow(wait) && IsWindowVisible(wait);
            }
            SetEvent(a->done);
            return 0;
        }, &args, 0, nullptr);
        result = run_operation(d.hwnd(), [&] { return operation_until(args.done, &ended); });
        ended_at_return = ended;
        return true;
    });
    EXPECT_EQ(dialog.run_loop(), 0);
    WaitForSingleObject(closer, INFINITE);
    CloseHandle(closer);
    CloseHandle(args.done);
    EXPECT_TRUE(args.survived_close);
    EXPECT_TRUE(args.survived_alt_f4);
    EXPECT_TRUE(result.returned);
    EXPECT_TRUE(ended_at_return);
    EXPECT_TRUE(operations_freed());
}

// 200 runs alternating between operations that end at once or within a few milliseconds and,
// every twentieth run, one that lasts until the dialog has been shown; every outcome must reach its
// own caller, each long run shows one dialog and a short run none. (A long run of a fixed 600 ms
// could end unseen: under load the UI thread woke from its 500 ms wait up to 150 ms late. A short
// run that a busy machine held for 300 ms may show one: that tells nothing.)
TEST(RunWithProgress, ManyAlternatingShortAndLongRunsStayConsistent)
{
    creation_watch watch;
    int wrong = 0, wrong_dialogs = 0, late_short_runs = 0;
    test_main dialog([&](test_main& d) {
        for (int i = 0; i < 200; ++i) {
            const bool is_long = i % 20 == 19;
            const long hr = i % 2 ? static_cast<long>(0x80070000UL | static_cast<unsigned long>(i)) : 0;
            const std::size_t dialogs_before = shown.size();
            const outcome result = run_operation(d.hwnd(), [&] {
                return is_long ? operation_until_shown(hr) : operation(static_cast<DWORD>(i % 3), hr, nullptr);
            });
            if (hr == 0 ? !result.returned : (result.returned || result.hr != hr))
                ++wrong;
            const std::size_t dialogs = shown.size() - dialogs_before;
            const bool late = !is_long && operation_ended_at >= 300;
            late_short_runs += late;
            if (dialogs != (is_long ? 1u : 0u) && !(late && dialogs == 1))
                ++wrong_dialogs;
        }
        return true;
    });
    EXPECT_EQ(dialog.run_loop(), 0);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(wrong_dialogs, 0) << late_short_runs << " short runs ended late";
    for (const auto& s : shown)
        EXPECT_FALSE(IsWindow(s.hwnd));
    EXPECT_TRUE(operations_freed());
}

TEST(RunWithProgress, QuitDuringALongOperationStillWaitsForItServesItsResumesAndKeepsTheCode)
{
    creation_watch watch;
    outcome result;
    quit_trace t;
    corun::cancellation_source watchdog;
    HANDLE returned = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread guard([&] {
        if (WaitForSingleObject(returned, 15000) != WAIT_OBJECT_0)
            watchdog.cancel();
    });
    test_main dialog([&](test_main& d) {
        result = run_operation(d.hwnd(), [&] { return quitting_operation(&d, t, watchdog); });
        SetEvent(returned);
        return true;
    });
    EXPECT_EQ(dialog.run_loop(), -7);
    SetEvent(returned);
    guard.join();
    CloseHandle(returned);
    EXPECT_TRUE(result.returned);
    EXPECT_FALSE(t.unreachable);
    EXPECT_EQ(t.quit_posted_on, GetCurrentThreadId());
    EXPECT_EQ(t.finished_on, GetCurrentThreadId());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_FALSE(IsWindow(shown[0].hwnd));
    EXPECT_TRUE(operations_freed());
}

TEST(RunWithProgress, PleaseWaitEndsWithTheOperationEvenWhenItsCloserNeverGetsThrough)
{
    creation_watch watch;
    HHOOK dropper = SetWindowsHookExW(WH_GETMESSAGE, &drop_dialog_resumes, nullptr, GetCurrentThreadId());
    outcome result;
    HANDLE returned = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // Should the dialog never end, a quit with its own code ends its modal loop.
    std::thread guard([&, ui = GetCurrentThreadId()] {
        if (WaitForSingleObject(returned, 10000) != WAIT_OBJECT_0)
            PostThreadMessageW(ui, WM_QUIT, 55, 0);
    });
    test_main dialog([&](test_main& d) {
        result = run_operation(d.hwnd(), [] { return operation_until_shown(0); });
        SetEvent(returned);
        return true;
    });
    EXPECT_EQ(dialog.run_loop(), 0);
    SetEvent(returned);
    guard.join();
    CloseHandle(returned);
    UnhookWindowsHookEx(dropper);
    EXPECT_TRUE(result.returned);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_FALSE(IsWindow(shown[0].hwnd));
    EXPECT_TRUE(operations_freed());
}
