#pragma once
// The receiving side of marshalled calls, carried by every dialog and wrapped control: a
// handler for message 0xBFFF whose LPARAM is a marshalled_call record allocated with new by
// its sender. The handler runs the call (or rethrows the carried error) on the window's
// thread, reports what escapes, and always frees the record.
#include <exception>
#include <functional>
#include <memory>

#include "wl/store.h"

namespace wl {
namespace wli {

inline constexpr std::uint32_t marshalled_call_message = 0xBFFF;

struct marshalled_call {
    std::function<void()> call;
    std::exception_ptr error;
};

// Runs one record and frees it; reports an escaping exception and posts quit -1.
void run_marshalled_call(LPARAM record) noexcept;

// Makes the window's store and registers the marshalled-call handler, which returns Result
// (1 for dialogs, 0 for subclassed controls).
template <class R, R Result> class w_thread_capable {
public:
    w_thread_capable()
    {
        handlers.on_message(marshalled_call_message, [](params p) -> R {
            run_marshalled_call(static_cast<LPARAM>(p.lParam));
            return Result;
        });
    }

    window_store handlers;
};

} // namespace wli
} // namespace wl
