#pragma once
// A wl window as other threads reach it. The UI thread binds the window when it appears and
// unbinds it when it goes; other threads post to it only through the link, which remembers
// every post until the window's handler receives it. So a handler acts only on what this
// process posted to this window and has not yet received (a forged or repeated message finds
// nothing), and a post that can no longer be received is never silently lost: its coroutine is
// resumed with a failure, its marshalled call is freed.
#include <coroutine>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>

#include <windows.h>

#include <boost/intrusive/list.hpp>

#include "corun/srw_lock.h"

namespace wl {
namespace wli {

inline constexpr std::uint32_t marshalled_call_message = 0xBFFF;

// A call to run on the window's thread, or the error to raise there. Allocated with new by its
// sender, owned by the link while on its way, freed by the receiving handler.
struct marshalled_call : boost::intrusive::list_base_hook<> {
    std::function<void()> call;
    std::exception_ptr error;
};

// A coroutine suspended until the window's thread resumes it; lives in the coroutine's frame.
struct posted_resume : boost::intrusive::list_base_hook<> {
    std::coroutine_handle<> waiter;
    // Set when the resume cannot be received; read by the waiter once it goes on.
    bool failed = false;
};

class window_link {
public:
    window_link() = default;
    window_link(const window_link&) = delete;
    window_link& operator=(const window_link&) = delete;
    ~window_link() { unbind(); }

    // UI thread, when the window has appeared.
    void bind(HWND window) noexcept;
    // UI thread, when the window (or its object) goes: every resume still on its way fails (its
    // coroutine goes on on a thread-pool thread and sees the failure), every call still on its
    // way is freed without running. Later posts fail at once until a window is bound again.
    void unbind() noexcept;
    // Any thread; empty when no window is bound.
    HWND window() const noexcept;

    // Any thread. False, with post.failed set, when there is no window or the post fails: the
    // coroutine then goes on on the calling thread.
    bool post_resume(UINT message, posted_resume& post) noexcept;
    // Any thread. False when there is no window or the post fails; the record is freed then.
    bool post_call(std::unique_ptr<marshalled_call> record) noexcept;

    // UI thread, in the handlers: the post that the message carries, taken off the outstanding
    // ones, or null when it is not one of them.
    posted_resume* receive_resume(WPARAM wParam) noexcept;
    std::unique_ptr<marshalled_call> receive_call(LPARAM lParam) noexcept;

private:
    mutable corun::details::srw_lock lock_;
    HWND window_ = nullptr;
    boost::intrusive::list<posted_resume> resumes_;
    boost::intrusive::list<marshalled_call> calls_;
};

} // namespace wli
} // namespace wl
