#pragma once
// Continue a coroutine on the Windows thread pool: co_await corun::resume_background();
#include <coroutine>

#include <windows.h>

#include "corun/errors.h"

namespace corun {
namespace details {

// The callback environment for every thread-pool callback of the module that holds this code
// (work items, I/O completions). In a DLL it names the DLL as the callbacks' library, so the
// pool keeps the DLL loaded while a callback runs: a callback that is still returning through
// the DLL's code when the DLL's last object and lock are gone is not left in unmapped code. In
// the program's own module it is the default environment.
PTP_CALLBACK_ENVIRON module_callback_environment() noexcept;

} // namespace details

struct resume_background {
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h) const
    {
        // On failure the exception comes out of the co_await on the current thread.
        if (!TrySubmitThreadpoolCallback(&resume_background::run, h.address(), details::module_callback_environment()))
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
