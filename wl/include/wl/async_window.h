#pragma once
// Resumption of coroutines on a window's thread through the registered message
// "VelmorWM_RESUME" (WPARAM = coroutine frame address). Mix into a window class T next to
// its dialog base and hand it that base's store:
//   struct main_dialog : wl::dialog_main, wl::async_window<main_dialog> {
//       main_dialog() : async_window(handlers) {}
//   };
// and inside its coroutines: co_await resume_on_window();
#include <coroutine>

#include <windows.h>

#include "wl/store.h"

namespace wl {

UINT register_resume_message() noexcept;

template <class T> class async_window {
public:
    // Each window type keeps its copy, made during static initialisation.
    static const UINT resume_message;

    // Must run on the thread that will run the window, while the store is open.
    explicit async_window(wli::window_store& store) : thread_id(GetCurrentThreadId()), store_(&store)
    {
        store.on_message(resume_message, [](params p) -> __int64 {
            std::coroutine_handle<>::from_address(reinterpret_cast<void*>(p.wParam)).resume();
            return 0;
        });
    }

    // Any thread. A coroutine posted to a window that is gone stays suspended.
    void post_resume(std::coroutine_handle<> h) const noexcept
    {
        PostMessageW(store_->hwnd, resume_message, reinterpret_cast<WPARAM>(h.address()), 0);
    }

    // Continues inline on the window's thread, else through one posted resume message.
    auto resume_on_window() const noexcept
    {
        struct awaiter {
            const async_window* window;
            bool await_ready() const noexcept { return GetCurrentThreadId() == window->thread_id; }
            void await_suspend(std::coroutine_handle<> h) const noexcept { window->post_resume(h); }
            void await_resume() const noexcept {}
        };
        return awaiter{this};
    }

    const DWORD thread_id;

private:
    wli::window_store* store_;
};

template <class T> const UINT async_window<T>::resume_message = register_resume_message();

} // namespace wl
