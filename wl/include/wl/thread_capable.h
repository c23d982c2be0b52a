#pragma once
// The receiving side of marshalled calls, carried by every dialog and wrapped control: a
// handler for message 0xBFFF whose LPARAM is a marshalled_call record sent through the
// window's link. The handler runs the call (or rethrows the carried error) on the window's
// thread, reports what escapes, and always frees the record. A message whose LPARAM is not a
// record still on its way to this window is ignored.
#include <memory>

#include "wl/store.h"
#include "wl/window_link.h"

namespace wl {
namespace wli {

// Runs one record and frees it; reports an escaping exception and posts quit -1. Does nothing
// for null.
void run_marshalled_call(std::unique_ptr<marshalled_call> record) noexcept;

// Makes the window's store and link and registers the marshalled-call handler, which returns
// Result (1 for dialogs, 0 for subclassed controls).
template <class R, R Result> class w_thread_capable {
public:
    w_thread_capable()
    {
        handlers.on_message(marshalled_call_message, [link = link](params p) -> R {
            run_marshalled_call(link->receive_call(static_cast<LPARAM>(p.lParam)));
            return Result;
        });
    }
    w_thread_capable(const w_thread_capable&) = delete;
    w_thread_capable& operator=(const w_thread_capable&) = delete;
    // Nothing posted to the object can be received any more.
    ~w_thread_capable() { link->unbind(); }

    // Shared with the handlers and with coroutines waiting for a resume: a post may outlive the
    // object.
    const std::shared_ptr<window_link> link = std::make_shared<window_link>();
    window_store handlers;
};

} // namespace wli
} // namespace wl
