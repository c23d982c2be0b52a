// The start-up update check of the main window.
#include "main_dialog.h"

#include "update_check.h"

corun::details::future<void> main_dialog::check_for_updates()
{
    // Everything the check uses of the dialog goes through the host, and only on the window's
    // thread until update_cancel is cancelled; the destructor (or a failing constructor) cancels
    // it and waits for the check (bounded) before members go.
    operation_scope scope(operations.shared());
    panel::update_check_host host;
    host.window = [this] { return hwnd(); };
    host.ui_thread = thread_id;
    host.post_resume = resume_poster();
    host.modal_running = [this] { return modal_running(); };
    co_await panel::run_update_check(update_cancel, initialized, std::move(host));
}
