#pragma once
// A coroutine that nobody awaits: it starts at once and frees its own frame at its end.
// Its body must catch what it throws; an escaping exception ends the process.
#include <coroutine>
#include <exception>

namespace corun {
namespace details {

struct fire_and_forget {
    struct promise_type {
        fire_and_forget get_return_object() noexcept { return {}; }
        std::suspend_never initial_suspend() noexcept { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() noexcept {}
        void unhandled_exception() noexcept { std::terminate(); }
    };
};

} // namespace details
} // namespace corun
