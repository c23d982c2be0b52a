#include <memory>
#include <mutex>

#include "corun/srw_lock.h"
#include "wl/progress.h"

namespace wl {
namespace {

// Shared by the caller and the watcher: the watcher may still hold it after the caller left.
struct waiter_record {
    corun::details::srw_lock lock;
    corun::details::condition_variable cv;
    bool done = false;
};

corun::details::fire_and_forget watch(corun::details::shared_future future, std::shared_ptr<waiter_record> waiter)
{
    try {
        co_await future;
    } catch (...) {
        // The caller reads the outcome from the shared future.
    }
    std::lock_guard guard(waiter->lock);
    waiter->done = true;
    waiter->cv.notify_one();
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

} // namespace

void run_with_progress(HWND parent, corun::details::cancellation_source& source, corun::details::future<void> operation)
{
    corun::details::shared_future shared(std::move(operation));
    auto waiter = std::make_shared<waiter_record>();
    watch(shared, waiter);

    std::unique_lock guard(waiter->lock);
    if (!waiter->cv.wait_for(waiter->lock, quiet_wait_ms, [&] { return waiter->done; })) {
        // The watcher must be free to finish while the dialog is up: it never waits for us.
        guard.unlock();
        {
            cursor_guard cursor(SetCursor(LoadCursorW(nullptr, IDC_WAIT)));
            progress_dialog dialog(shared, source);
            dialog.show(parent);
        }
        guard.lock();
        // Whatever ended the dialog, the call returns only once the operation has ended.
        waiter->cv.wait(waiter->lock, [&] { return waiter->done; });
    }
    guard.unlock();
    // The watcher saw the operation end, so this neither blocks nor races with the fan-out.
    shared.wait();
}

} // namespace wl
