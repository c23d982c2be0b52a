#pragma once
// Starts a thread that nobody waits for. std::thread's detach is not used for that: in this
// toolchain's threads library (winpthreads), a thread whose function has returned before its
// starter detaches it gets its bookkeeping record freed at the detach while the thread is still
// on its way out, and its exit then writes into the record of the next thread started, which
// runs with no argument (a null dereference in its start) or not at all. A Windows thread whose
// handle is closed at once keeps no such record.
#include <windows.h>

#include <memory>
#include <system_error>
#include <type_traits>
#include <utility>

#include "corun/unique_any.h"

namespace corun {
namespace details {

// Runs function() on a new thread, which owns the function object and destroys it when done.
// A thread that cannot be started raises std::system_error, as std::thread does. Like
// std::thread, an exception leaving the function ends the program.
template <class Function> void start_detached_thread(Function&& function)
{
    using stored = std::decay_t<Function>;
    auto owned = std::make_unique<stored>(std::forward<Function>(function));
    constexpr auto run = [](void* context) noexcept -> DWORD {
        const std::unique_ptr<stored> taken(static_cast<stored*>(context));
        (*taken)();
        return 0;
    };
    const unique_handle thread(CreateThread(nullptr, 0, run, owned.get(), 0, nullptr));
    if (!thread)
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), "CreateThread");
    owned.release(); // the thread's now
}

} // namespace details
} // namespace corun
