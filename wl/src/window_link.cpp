#include <mutex>
#include <shared_mutex>

#include "wl/window_link.h"

#include "corun/thread_pool.h"

namespace wl::wli {
namespace {

void CALLBACK resume_failed(PTP_CALLBACK_INSTANCE, void* context) noexcept
{
    std::coroutine_handle<>::from_address(context).resume();
}

} // namespace

void window_link::bind(HWND window) noexcept
{
    std::lock_guard guard(lock_);
    window_ = window;
}

void window_link::unbind() noexcept
{
    boost::intrusive::list<posted_resume> failing;
    boost::intrusive::list<marshalled_call> dropped;
    {
        std::lock_guard guard(lock_);
        window_ = nullptr;
        failing.swap(resumes_);
        dropped.swap(calls_);
    }
    dropped.clear_and_dispose([](marshalled_call* record) { delete record; });
    while (!failing.empty()) {
        posted_resume& post = failing.front();
        failing.pop_front();
        post.failed = true;
        // The record lives in the waiter's frame: once the waiter runs, it may be gone.
        const std::coroutine_handle<> waiter = post.waiter;
        if (!TrySubmitThreadpoolCallback(&resume_failed, waiter.address(), corun::details::module_callback_environment()))
            waiter.resume();
    }
}

HWND window_link::window() const noexcept
{
    std::shared_lock guard(lock_);
    return window_;
}

bool window_link::post_resume(UINT message, posted_resume& post) noexcept
{
    // Recorded before the message can arrive, and posted under the lock so that an unbind
    // either comes first (no window) or finds the record.
    std::lock_guard guard(lock_);
    if (window_) {
        resumes_.push_back(post);
        if (PostMessageW(window_, message, reinterpret_cast<WPARAM>(post.waiter.address()), 0))
            return true;
        resumes_.erase(resumes_.iterator_to(post));
    }
    post.failed = true;
    return false;
}

bool window_link::post_call(std::unique_ptr<marshalled_call> record) noexcept
{
    std::lock_guard guard(lock_);
    if (!window_)
        return false;
    calls_.push_back(*record);
    if (!PostMessageW(window_, marshalled_call_message, 0, reinterpret_cast<LPARAM>(record.get()))) {
        calls_.erase(calls_.iterator_to(*record));
        return false;
    }
    record.release();
    return true;
}

posted_resume* window_link::receive_resume(WPARAM wParam) noexcept
{
    // Compared by address only: a forged value is never followed.
    std::lock_guard guard(lock_);
    for (auto it = resumes_.begin(); it != resumes_.end(); ++it) {
        if (reinterpret_cast<WPARAM>(it->waiter.address()) == wParam) {
            posted_resume& post = *it;
            resumes_.erase(it);
            return &post;
        }
    }
    return nullptr;
}

std::unique_ptr<marshalled_call> window_link::receive_call(LPARAM lParam) noexcept
{
    std::lock_guard guard(lock_);
    for (auto it = calls_.begin(); it != calls_.end(); ++it) {
        if (reinterpret_cast<LPARAM>(&*it) == lParam) {
            marshalled_call& record = *it;
            calls_.erase(it);
            return std::unique_ptr<marshalled_call>(&record);
        }
    }
    return nullptr;
}

} // namespace wl::wli
