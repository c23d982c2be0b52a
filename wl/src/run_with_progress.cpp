#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "corun/unique_any.h"
#include "wl/async_window.h"
#include "wl/progress.h"

namespace wl {
namespace {

// Signalled by the watcher once the operation has ended; shared with it, since the watcher may
// still hold it after the caller left.
using ended_event = corun::details::unique_handle;

std::shared_ptr<ended_event> make_ended_event()
{
    auto ended = std::make_shared<ended_event>(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!*ended)
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), "CreateEvent failed");
    return ended;
}

corun::details::fire_and_forget watch(corun::details::shared_future future, std::shared_ptr<ended_event> ended)
{
    try {
        co_await future;
    } catch (...) {
        // The caller reads the outcome from the shared future.
    }
    SetEvent(ended->get());
}

class cursor_guard {
public:
    explicit cursor_guard(HCURSOR previous) noexcept : previous_(previous) {}
    cursor_guard(const cursor_guard&) = delete;
    cursor_guard& operator=(const cursor_guard&) = delete;
    ~cursor_guard() { SetCursor(previous_); }

private:
    HCURSOR previous_;
};

constexpr unsigned long quiet_wait_ms = 500;

bool quit_pending() noexcept
{
    MSG msg;
    return PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE) != 0;
}

// Waits on the UI thread until the operation has ended, while the operation can still reach
// this thread: sent messages and posted resumes are handled meanwhile, nothing else (no input
// reaches the windows). A WM_QUIT met on the way would wake the wait again and again, so it is
// taken out of the queue and posted again afterwards with its code.
void wait_serving_resumes(HANDLE ended) noexcept
{
    const UINT resume = register_resume_message();
    std::optional<int> quit;
    for (;;) {
        MSG msg;
        if (PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE))
            quit = static_cast<int>(msg.wParam);
        while (PeekMessageW(&msg, nullptr, resume, resume, PM_REMOVE))
            DispatchMessageW(&msg);
        const DWORD woken = MsgWaitForMultipleObjects(1, &ended, FALSE, INFINITE, QS_POSTMESSAGE | QS_SENDMESSAGE);
        if (woken == WAIT_OBJECT_0)
            break;
        if (woken == WAIT_FAILED) {
            WaitForSingleObject(ended, INFINITE);
            break;
        }
    }
    if (quit)
        PostQuitMessage(*quit);
}

} // namespace

void run_with_progress(HWND parent, corun::details::cancellation_source& source, corun::details::future<void> operation)
{
    corun::details::shared_future shared(std::move(operation));
    auto ended = make_ended_event();
    watch(shared, ended);

    if (WaitForSingleObject(ended->get(), quiet_wait_ms) != WAIT_OBJECT_0) {
        // Whatever ends the dialog (the operation's end, a WM_QUIT taken by its modal loop, a
        // failure to show it), the call returns only once the operation has ended.
        std::exception_ptr show_failed;
        {
            cursor_guard cursor(SetCursor(LoadCursorW(nullptr, IDC_WAIT)));
            progress_dialog dialog(shared, source);
            try {
                dialog.show(parent);
            } catch (const std::invalid_argument&) {
                // A modal loop that met WM_QUIT ends without a result, which show takes for an
                // invalid parent; the quit is still queued then.
                if (!quit_pending())
                    show_failed = std::current_exception();
            } catch (...) {
                show_failed = std::current_exception();
            }
        }
        wait_serving_resumes(ended->get());
        if (show_failed)
            std::rethrow_exception(show_failed);
    }
    // The watcher saw the operation end, so this neither blocks nor races with the fan-out.
    shared.wait();
}

} // namespace wl
