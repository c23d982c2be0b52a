#pragma once
// Resumption of coroutines on a window's thread through the registered message
// "VelmorWM_RESUME" (WPARAM = coroutine frame address). Mix into a window class T next to
// its dialog base and hand it that base's store and link:
//   struct main_dialog : wl::dialog_main, wl::async_window<main_dialog> {
//       main_dialog() : async_window(handlers, link) {}
//   };
// and inside its coroutines: co_await resume_on_window();
// The coroutine then goes on on the window's thread, or, when the window is gone or the post
// fails, on a thread-pool thread (or the posting thread) with corun::details::operation_cancelled
// from the co_await: it is never left suspended.
#include <coroutine>
#include <memory>

#include <windows.h>

#include "corun/errors.h"
#include "wl/thread_capable.h"

namespace wl {

UINT register_resume_message() noexcept;

// Continues a coroutine on a window's thread: inline when it already runs there, else through
// post(record), after which the coroutine is resumed exactly once, by the window's handler on
// the window's thread or, with record.failed set, elsewhere. A resume that fails makes the
// co_await throw corun::details::operation_cancelled.
template <class Post> class resume_awaiter {
public:
    resume_awaiter(Post post, DWORD thread) noexcept : post_(std::move(post)), thread_(thread) {}
    bool await_ready() const noexcept { return GetCurrentThreadId() == thread_; }
    bool await_suspend(std::coroutine_handle<> h) noexcept
    {
        // True: suspended until the post's receiver resumes it, possibly before this returns.
        // False: the post failed (record_.failed is set) and the coroutine goes on here.
        record_.waiter = h;
        return post_(record_);
    }
    void await_resume() const
    {
        if (record_.failed)
            throw corun::details::operation_cancelled();
    }

private:
    Post post_;
    DWORD thread_;
    wli::posted_resume record_;
};

namespace wli {

// Posts resumes through a window's link under its resume message.
struct link_poster {
    std::shared_ptr<window_link> link;
    UINT message;
    bool operator()(posted_resume& record) const noexcept { return link->post_resume(message, record); }
};

} // namespace wli

template <class T> class async_window {
public:
    // Each window type keeps its copy, made during static initialisation.
    static const UINT resume_message;

    // Must run on the thread that will run the window, while the store is open; takes the
    // window's store and link.
    async_window(wli::window_store& store, std::shared_ptr<wli::window_link> link)
        : thread_id(GetCurrentThreadId()), link_(std::move(link))
    {
        // Only a resume that was posted through the link and is still outstanding is resumed.
        store.on_message(resume_message, [link = link_](params p) -> __int64 {
            if (wli::posted_resume* post = link->receive_resume(static_cast<WPARAM>(p.wParam)))
                post->waiter.resume();
            return 0;
        });
    }
    async_window(const async_window&) = delete;
    async_window& operator=(const async_window&) = delete;

    // Continues inline on the window's thread, else through one posted resume message.
    resume_awaiter<wli::link_poster> resume_on_window() const noexcept
    {
        return resume_awaiter<wli::link_poster>(resume_poster(), thread_id);
    }
    // What posts this window's resumes, for code that builds its own resume_awaiter.
    wli::link_poster resume_poster() const noexcept { return wli::link_poster{link_, resume_message}; }

    const DWORD thread_id;

private:
    std::shared_ptr<wli::window_link> link_;
};

template <class T> const UINT async_window<T>::resume_message = register_resume_message();

} // namespace wl
