#include <algorithm>
#include <functional>
#include <stdexcept>
#include <string>
#include <system_error>

#include <gtest/gtest.h>
#include <windows.h>

#include "corun/errors.h"
#include "test_dialog.h"

namespace {

struct only_std : std::exception {
    const char* what() const noexcept override { return "plain exception"; }
};

struct report_case {
    const char* name;
    std::function<void()> raise;
    std::string caption;
    std::string text;
};

// A handler throws inside the running loop; the box must show, and the loop end with -1.
void expect_report(const report_case& c)
{
    SCOPED_TRACE(c.name);
    box_closer closer(GetCurrentThreadId());
    bool after_throw_ran = false;
    test_main dialog([&](test_main& d) {
        PostMessageW(d.hwnd(), WM_APP + 1, 0, 0);
        return false;
    });
    dialog.handlers.on_message(WM_APP + 1, [&](wl::params) -> __int64 {
        c.raise();
        after_throw_ran = true;
        return 0;
    });
    EXPECT_EQ(dialog.run_loop(), -1);
    const seen_box box = closer.result();
    ASSERT_TRUE(box.found);
    EXPECT_EQ(box.caption, c.caption);
    if (c.text.front() == '*') {
        // The system's wording varies; the code in hexadecimal must close the text.
        const std::string tail = c.text.substr(1);
        EXPECT_GT(box.text.size(), tail.size());
        EXPECT_EQ(box.text.substr(box.text.size() - std::min(box.text.size(), tail.size())), tail);
    } else {
        EXPECT_EQ(box.text, c.text);
    }
    EXPECT_FALSE(box.has_owner);
    EXPECT_FALSE(after_throw_ran);
}

} // namespace

TEST(ExceptionReport, StandardExceptionsGetTheCaptionOfTheirKindAndQuitMinusOne)
{
    const report_case cases[] = {
        {"invalid_argument", [] { throw std::invalid_argument("bad arg"); }, "Oops... invalid argument error", "bad arg"},
        {"out_of_range", [] { throw std::out_of_range("x"); }, "Oops... out of range error", "x"},
        {"logic_error", [] { throw std::logic_error("logic"); }, "Oops... logic error", "logic"},
        {"system_error", [] { throw std::system_error(5, std::system_category(), "sys"); }, "Oops... system error",
         std::system_error(5, std::system_category(), "sys").what()},
        {"runtime_error", [] { throw std::runtime_error("run"); }, "Oops... runtime error", "run"},
        {"exception", [] { throw only_std(); }, "Oops... generic error", "plain exception"},
    };
    for (const auto& c : cases)
        expect_report(c);
}

TEST(ExceptionReport, NonStandardExceptionsAreReportedAsGenericAndStillQuit)
{
    expect_report({"hresult_error", [] { throw corun::details::hresult_error(static_cast<long>(0x80004005UL)); },
                   "Oops... generic error", "* (0x80004005)"});
    expect_report({"int", [] { throw 42; }, "Oops... generic error", "Unknown error"});
}

TEST(ExceptionReport, ClosingTheWindowAfterAReportKeepsExitCodeMinusOne)
{
    box_closer closer(GetCurrentThreadId());
    bool closed_before_quit = false;
    test_main dialog([&](test_main& d) {
        // The inner handler's report posts the quit; the close is queued after it, and the
        // loop handles queued messages before it fetches the quit.
        SendMessageW(d.hwnd(), WM_APP + 1, 0, 0);
        PostMessageW(d.hwnd(), WM_CLOSE, 0, 0);
        return false;
    });
    dialog.handlers.on_message(WM_APP + 1, [&](wl::params) -> __int64 { throw std::runtime_error("late close"); });
    dialog.handlers.on_message(WM_DESTROY, [&](wl::params) -> __int64 {
        closed_before_quit = true;
        return 0;
    });
    EXPECT_EQ(dialog.run_loop(), -1);
    EXPECT_TRUE(closer.result().found);
    EXPECT_TRUE(closed_before_quit);
}

TEST(RunningHandlers, AMessageLoopOfAHandlerOrOfItsReportRunsUnderThatHandler)
{
    for (bool reported : {false, true}) {
        SCOPED_TRACE(reported ? "exception report" : "message box");
        box_closer closer(GetCurrentThreadId());
        int from_loop = -1;
        int from_box = -1;
        test_main dialog([&](test_main& d) {
            PostMessageW(d.hwnd(), WM_APP + 2, 0, 0);
            PostMessageW(d.hwnd(), WM_APP + 1, 0, 0);
            return false;
        });
        dialog.handlers.on_message(WM_APP + 1, [&](wl::params) -> __int64 {
            // Dispatched by the box's own loop once it runs.
            PostMessageW(dialog.hwnd(), WM_APP + 3, 0, 0);
            if (reported)
                throw std::runtime_error("reported");
            MessageBoxW(dialog.hwnd(), L"text", L"caption", MB_OK);
            PostQuitMessage(0);
            return 0;
        });
        dialog.handlers.on_message(WM_APP + 2, [&](wl::params) -> __int64 {
            from_loop = dialog.handlers.running_handlers();
            return 0;
        });
        dialog.handlers.on_message(WM_APP + 3, [&](wl::params) -> __int64 {
            from_box = dialog.handlers.running_handlers();
            return 0;
        });
        dialog.run_loop();
        EXPECT_TRUE(closer.result().found);
        EXPECT_EQ(from_loop, 1);
        EXPECT_EQ(from_box, 2);
        EXPECT_EQ(dialog.handlers.running_handlers(), 0);
    }
}
