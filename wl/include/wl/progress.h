#pragma once
// Long operations started from the UI thread: wait up to 500 ms, then show the wait cursor
// and the modal "Please Wait" dialog (resource 130 from wl_resources) until the operation
// ends; its failure is rethrown to the caller.
#include <memory>

#include <windows.h>

#include "corun/cancellation.h"
#include "corun/fire_and_forget.h"
#include "corun/future.h"
#include "corun/shared_future.h"
#include "wl/async_window.h"
#include "wl/dialog.h"

namespace wl {

class progress_dialog : public dialog_modal, public async_window<progress_dialog> {
public:
    progress_dialog(corun::details::shared_future future, corun::details::cancellation_source& source);

private:
    // Touches nothing of the dialog object unless it is back on the dialog's thread, inside the
    // dispatch of its resume message: the object may be gone before the operation ends.
    static corun::details::fire_and_forget wait_and_close(corun::details::shared_future future,
                                                          resume_awaiter<wli::link_poster> to_dialog,
                                                          std::shared_ptr<wli::window_link> dialog);

    corun::details::shared_future future_;
    HWND progress = nullptr;
};

// UI thread. Blocks until the operation has ended, then returns or rethrows the operation's
// exception. Whatever ends "Please Wait" early (a WM_QUIT, which its modal loop obeys), the call
// still waits for the operation, serving the resumes it posts to this thread meanwhile, and
// posts a quit it took on the way again before it returns.
void run_with_progress(HWND parent, corun::details::cancellation_source& source, corun::details::future<void> operation);

} // namespace wl
