#include <windows.h>
#include <commctrl.h>

#include "wl/controls.h"
#include "wl/progress.h"
#include "wl/resource.h"

namespace wl {
namespace {

// Looks whether the operation has ended: the closer's resume normally ends the dialog first, but
// should its post fail (or the message never arrive) the modal loop would otherwise run for ever.
constexpr UINT_PTR end_check_timer = 1;
constexpr UINT end_check_ms = 250;

} // namespace

progress_dialog::progress_dialog(corun::details::shared_future future, corun::details::cancellation_source&)
    : async_window(handlers, link), future_(std::move(future))
{
    setup.dialogId = WL_IDD_PROGRESS;
    handlers.on_message(WM_INITDIALOG, [this](params) -> __int64 {
        if (progress)
            throw_assigned_twice();
        progress = GetDlgItem(handlers.hwnd, WL_IDC_PROGRESS_BAR);
        SetWindowLongPtrW(progress, GWL_STYLE, GetWindowLongPtrW(progress, GWL_STYLE) | PBS_MARQUEE);
        SendMessageW(progress, PBM_SETMARQUEE, 1, 0);
        SetTimer(handlers.hwnd, end_check_timer, end_check_ms, nullptr);
        wait_and_close(future_, resume_on_window(), link);
        return 1;
    });
    handlers.on_message(WM_TIMER, [this](params p) -> __int64 {
        if (p.wParam == end_check_timer && future_.ready())
            EndDialog(handlers.hwnd, 1);
        return 1;
    });
    // Only the end of the operation closes this dialog: WM_CLOSE (Alt+F4 included) is ignored,
    // so the wait cannot end early while the operation still runs.
    handlers.on_message(WM_CLOSE, [](params) -> __int64 { return 1; });
}

corun::details::fire_and_forget progress_dialog::wait_and_close(corun::details::shared_future future,
                                                                resume_awaiter<wli::link_poster> to_dialog,
                                                                std::shared_ptr<wli::window_link> dialog)
{
    try {
        co_await future;
    } catch (...) {
        // The outcome is the caller's to see, not the dialog's.
    }
    try {
        co_await to_dialog;
    } catch (...) {
        // The dialog is gone: there is nothing left to close.
        co_return;
    }
    if (const HWND window = dialog->window())
        EndDialog(window, 1);
}

} // namespace wl
