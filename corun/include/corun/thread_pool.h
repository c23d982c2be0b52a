#pragma once
// Continue a coroutine on the Windows thread pool: co_await corun::resume_background();
#include <coroutine>

#include <windows.h>

#include "corun/errors.h"

namespace corun {

struct resume_background {
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h) const
    {
        // On failure the exception comes out of the co_await on the current thread.
        if (!TrySubmitThreadpoolCallback(&resume_background::run, h.address(), nullptr))
            throw_last_error();
    }
    void await_resume() const noexcept {}

private:
    static void CALLBACK run(PTP_CALLBACK_INSTANCE, void* context) noexcept
    {
        std::coroutine_handle<>::from_address(context).resume();
    }
};

} // namespace corun
