#pragma once
// A coroutine that nobody awaits: it starts at once and frees its own frame at its end.
// Its body must catch what it throws; an escaping exception ends the process.
#include <coroutine>
#include <exception>
#include <utility>

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

// The same, made without starting: making it (allocating its frame, which can fail) is kept
// apart from running it, so a caller can make it before changing any state and start it
// afterwards. A holder that is destroyed without starting it destroys its frame.
class [[nodiscard]] deferred_fire_and_forget {
public:
    struct promise_type {
        deferred_fire_and_forget get_return_object() noexcept
        {
            return deferred_fire_and_forget(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() noexcept {}
        void unhandled_exception() noexcept { std::terminate(); }
    };

    deferred_fire_and_forget(deferred_fire_and_forget&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    deferred_fire_and_forget& operator=(deferred_fire_and_forget&&) = delete;
    ~deferred_fire_and_forget()
    {
        if (handle_)
            handle_.destroy();
    }

    // Runs the coroutine on this thread up to its first suspension; from then on it is on its own.
    void start() noexcept { std::exchange(handle_, {}).resume(); }

private:
    explicit deferred_fire_and_forget(std::coroutine_handle<promise_type> handle) noexcept : handle_(handle) {}
    std::coroutine_handle<promise_type> handle_;
};

} // namespace details
} // namespace corun
