#include <mutex>

#include <windows.h>
#include <commctrl.h>

#include "corun/srw_lock.h"
#include "wl/controls.h"
#include "wl/progress.h"
#include "wl/resource.h"

namespace wl {

// The dialog window as the closing coroutine may reach it: emptied when the window goes, so a
// coroutine that resumes after the dialog object is gone touches nothing of it.
struct progress_dialog::closer {
    corun::details::srw_lock lock;
    HWND hwnd = nullptr;
    DWORD thread_id = 0;
    UINT resume_message = 0;
};

progress_dialog::progress_dialog(corun::details::shared_future future, corun::details::cancellation_source&)
    : async_window(handlers), future_(std::move(future)), closer_(std::make_shared<closer>())
{
    setup.dialogId = WL_IDD_PROGRESS;
    handlers.on_message(WM_INITDIALOG, [this](params) -> __int64 {
        if (progress)
            throw_assigned_twice();
        progress = GetDlgItem(handlers.hwnd, WL_IDC_PROGRESS_BAR);
        SetWindowLongPtrW(progress, GWL_STYLE, GetWindowLongPtrW(progress, GWL_STYLE) | PBS_MARQUEE);
        SendMessageW(progress, PBM_SETMARQUEE, 1, 0);
        {
            std::lock_guard guard(closer_->lock);
            closer_->hwnd = handlers.hwnd;
            closer_->thread_id = thread_id;
            closer_->resume_message = resume_message;
        }
        wait_and_close(future_, closer_);
        return 1;
    });
    // Only the end of the operation closes this dialog: WM_CLOSE (Alt+F4 included) is ignored,
    // so the wait cannot end early while the operation still runs.
    handlers.on_message(WM_CLOSE, [](params) -> __int64 { return 1; });
    handlers.on_message(WM_NCDESTROY, [this](params) -> __int64 {
        std::lock_guard guard(closer_->lock);
        closer_->hwnd = nullptr;
        return 0;
    });
}

progress_dialog::~progress_dialog()
{
    std::lock_guard guard(closer_->lock);
    closer_->hwnd = nullptr;
}

corun::details::fire_and_forget progress_dialog::wait_and_close(corun::details::shared_future future,
                                                                std::shared_ptr<closer> target)
{
    try {
        co_await future;
    } catch (...) {
        // The outcome is the caller's to see, not the dialog's.
    }

    // Back to the dialog's thread: inline when already there, else through its resume message.
    struct to_dialog_thread {
        closer& target;
        bool await_ready() const noexcept { return GetCurrentThreadId() == target.thread_id; }
        bool await_suspend(std::coroutine_handle<> h) const noexcept
        {
            std::lock_guard guard(target.lock);
            // A dialog that is gone has nobody to resume us: finish here instead.
            return target.hwnd &&
                   PostMessageW(target.hwnd, target.resume_message, reinterpret_cast<WPARAM>(h.address()), 0);
        }
        void await_resume() const noexcept {}
    };
    co_await to_dialog_thread{*target};

    if (GetCurrentThreadId() == target->thread_id) {
        // On the dialog's thread nothing else can empty hwnd meanwhile.
        HWND dialog = nullptr;
        {
            std::lock_guard guard(target->lock);
            dialog = target->hwnd;
        }
        if (dialog)
            EndDialog(dialog, 1);
    }
}

} // namespace wl
