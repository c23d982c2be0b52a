#pragma once
// Coroutine futures and promises.
//
// A coroutine declared to return corun::details::future<T> runs at once on the caller's thread
// up to its first suspension. Its promise is the shared state: the result lives in the frame,
// and the finished frame is kept until the last future handle is released. Exactly one
// coroutine waits on a future; it is resumed after the state's lock has been released, on the
// thread that stored the result.
//
// The same promise type also serves as a stand-alone state made with std::make_shared (a
// pending RPC call, for example); such a state is awaited with corun::details::awaiting().

#include <atomic>
#include <coroutine>
#include <exception>
#include <mutex>
#include <type_traits>
#include <utility>
#include <variant>

#include "corun/errors.h"
#include "corun/srw_lock.h"

namespace corun {
namespace details {

template <class T> class future;
template <class T> struct promise_type_;

// The value alternative for future<void>.
struct void_value {};

template <class T>
using stored_value_t = std::conditional_t<std::is_void_v<T>, void_value, T>;

// Asks a corun coroutine for its own promise without suspending:
//   promise_base& self = co_await corun::details::current_promise{};
struct current_promise {};

// Throws operation_cancelled when the awaiting coroutine has been cancelled:
//   co_await corun::details::check_cancelled{};
struct check_cancelled {};

// State shared by all promise types, independent of the result type.
struct promise_base {
    // Set by the cancellation of a source from which this coroutine took a token; written and
    // read from different threads.
    std::atomic<bool> cancelled{false};
    srw_lock lock;

    void throw_if_cancelled() const
    {
        if (cancelled.load(std::memory_order_acquire))
            throw operation_cancelled();
    }
};

template <class T> class future_awaiter;

// Awaits a shared state without taking its result; the result stays for a later reader.
template <class T> class state_observer {
public:
    explicit state_observer(promise_type_<T>& state) noexcept : state_(state) {}
    bool await_ready() noexcept
    {
        std::lock_guard guard(state_.lock);
        return state_.result.index() != 0;
    }
    bool await_suspend(std::coroutine_handle<> h) noexcept
    {
        std::unique_lock guard(state_.lock);
        if (state_.result.index() != 0)
            return false;
        state_.continuation = h;
        return true;
    }
    void await_resume() noexcept {}

private:
    promise_type_<T>& state_;
};

// Awaits a stand-alone state and takes its result (value moved out, or exception rethrown).
template <class T> class state_awaiter {
public:
    explicit state_awaiter(promise_type_<T>& state) noexcept : observer_(state), state_(state) {}
    bool await_ready() noexcept { return observer_.await_ready(); }
    bool await_suspend(std::coroutine_handle<> h) noexcept { return observer_.await_suspend(h); }
    T await_resume() { return state_.take_result(); }

private:
    state_observer<T> observer_;
    promise_type_<T>& state_;
};

template <class T> state_awaiter<T> awaiting(promise_type_<T>& state) noexcept
{
    return state_awaiter<T>(state);
}

template <class Derived, class T> struct promise_result_ops {
    // Moves the value in (set_value) or copies it (emplace_value); then resumes the waiter.
    template <class U> void set_value(U&& value)
    {
        auto& self = static_cast<Derived&>(*this);
        std::unique_lock guard(self.lock);
        self.result.template emplace<2>(std::forward<U>(value));
        self.resume_continuation(guard);
    }
    void emplace_value(const T& value)
    {
        auto& self = static_cast<Derived&>(*this);
        std::unique_lock guard(self.lock);
        self.result.template emplace<2>(value);
        self.resume_continuation(guard);
    }
    void return_value(T value) { set_value(std::move(value)); }
};

template <class Derived> struct promise_result_ops<Derived, void> {
    void set_value()
    {
        auto& self = static_cast<Derived&>(*this);
        std::unique_lock guard(self.lock);
        self.result.template emplace<2>();
        self.resume_continuation(guard);
    }
    void return_void() { set_value(); }
};

template <class T>
struct promise_type_ : promise_base, promise_result_ops<promise_type_<T>, T> {
    std::variant<std::monostate, std::exception_ptr, stored_value_t<T>> result;
    std::coroutine_handle<> continuation;
    std::atomic<std::uint32_t> references{0};
    std::coroutine_handle<> own_handle;
    bool attached = false;

    promise_type_() = default;
    promise_type_(const promise_type_&) = delete;
    promise_type_& operator=(const promise_type_&) = delete;

    // Coroutine machinery.
    future<T> get_return_object() noexcept;
    std::suspend_never initial_suspend() noexcept { return {}; }
    struct final_awaiter {
        bool await_ready() noexcept { return false; }
        void await_suspend(std::coroutine_handle<promise_type_> h) noexcept
        {
            promise_type_& p = h.promise();
            p.lock.lock();
            if (p.attached) {
                // A future still refers to the result: stay suspended until its release.
                p.own_handle = h;
                p.lock.unlock();
                return;
            }
            p.lock.unlock();
            h.destroy();
        }
        void await_resume() noexcept {}
    };
    final_awaiter final_suspend() noexcept { return {}; }
    void unhandled_exception() noexcept { set_exception(std::current_exception()); }

    void set_exception(std::exception_ptr error) noexcept
    {
        std::unique_lock guard(this->lock);
        result.template emplace<1>(std::move(error));
        resume_continuation(guard);
    }

    // Called with the lock held right after a store: the continuation is resumed only after
    // the lock has been released.
    void resume_continuation(std::unique_lock<srw_lock>& guard) noexcept
    {
        std::coroutine_handle<> waiter = std::exchange(continuation, nullptr);
        guard.unlock();
        if (waiter)
            waiter.resume();
    }

    bool ready()
    {
        std::lock_guard guard(this->lock);
        return result.index() != 0;
    }

    // Moves the value out, or rethrows the stored exception. Only valid once complete.
    T take_result()
    {
        if (result.index() == 1)
            std::rethrow_exception(std::get<1>(result));
        if constexpr (std::is_void_v<T>) {
            (void)std::get<2>(result);
        } else {
            return std::move(std::get<2>(result));
        }
    }

    // Every co_await in a corun coroutine passes through here.
    template <class U> future_awaiter<U> await_transform(future<U>&& f);
    template <class U> future_awaiter<U> await_transform(future<U>& f);
    auto await_transform(current_promise) noexcept
    {
        struct awaiter {
            promise_base& self;
            bool await_ready() noexcept { return true; }
            void await_suspend(std::coroutine_handle<>) noexcept {}
            promise_base& await_resume() noexcept { return self; }
        };
        return awaiter{*this};
    }
    auto await_transform(check_cancelled)
    {
        this->throw_if_cancelled();
        return std::suspend_never{};
    }
    template <class A> A&& await_transform(A&& awaitable) noexcept { return std::forward<A>(awaitable); }
};

// Move-only handle holding the one reference to a coroutine's promise state.
template <class T> class [[nodiscard]] future {
public:
    using promise_type = promise_type_<T>;
    using value_type = T;

    future() noexcept = default;
    explicit future(std::coroutine_handle<promise_type> h) noexcept : handle_(h) {}
    future(future&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    future& operator=(future&& other) noexcept
    {
        if (this != &other) {
            release();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    future(const future&) = delete;
    future& operator=(const future&) = delete;
    ~future() { release(); }

    explicit operator bool() const noexcept { return static_cast<bool>(handle_); }
    promise_type& state() const noexcept { return handle_.promise(); }
    bool ready() const { return handle_.promise().ready(); }

    // Takes the result of a completed future: the value, or the stored exception rethrown.
    T get() { return handle_.promise().take_result(); }

    // Drops the reference; destroys a finished producer, or lets a running one free itself.
    void release() noexcept
    {
        if (!handle_)
            return;
        auto h = std::exchange(handle_, nullptr);
        promise_type& p = h.promise();
        if (p.references.fetch_sub(1, std::memory_order_acq_rel) != 1)
            return;
        p.lock.lock();
        p.attached = false;
        std::coroutine_handle<> finished = std::exchange(p.own_handle, nullptr);
        p.lock.unlock();
        if (finished)
            finished.destroy();
    }

private:
    std::coroutine_handle<promise_type> handle_;
};

template <class T> future<T> promise_type_<T>::get_return_object() noexcept
{
    attached = true;
    references.store(1, std::memory_order_relaxed);
    return future<T>(std::coroutine_handle<promise_type_>::from_promise(*this));
}

// Awaits a future inside a corun coroutine and releases it once its result has been taken.
template <class T> class future_awaiter {
public:
    explicit future_awaiter(future<T>&& f) noexcept : future_(std::move(f)), awaiter_(future_.state()) {}
    bool await_ready() noexcept { return awaiter_.await_ready(); }
    bool await_suspend(std::coroutine_handle<> h) noexcept { return awaiter_.await_suspend(h); }
    T await_resume()
    {
        struct release_after {
            future<T>& f;
            ~release_after() { f.release(); }
        } guard{future_};
        return future_.get();
    }

private:
    future<T> future_;
    state_observer<T> awaiter_;
};

template <class T>
template <class U>
future_awaiter<U> promise_type_<T>::await_transform(future<U>&& f)
{
    this->throw_if_cancelled();
    return future_awaiter<U>(std::move(f));
}

template <class T>
template <class U>
future_awaiter<U> promise_type_<T>::await_transform(future<U>& f)
{
    this->throw_if_cancelled();
    return future_awaiter<U>(std::move(f));
}

} // namespace details

template <class T = void> using future = details::future<T>;

} // namespace corun
