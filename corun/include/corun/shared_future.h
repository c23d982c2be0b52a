#pragma once
// A future that several coroutines await. Every waiter resumes on its own thread-pool
// callback, never on the thread that completed the underlying future and never under the
// lock; all of them see the same exception when the underlying future failed.
#include <coroutine>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <windows.h>

#include "corun/blocking_wait.h"
#include "corun/fire_and_forget.h"
#include "corun/future.h"
#include "corun/srw_lock.h"
#include "corun/thread_pool.h"

namespace corun {
namespace details {

// The program's blocking wait: returns once the future holds a result, which stays in it.
template <class T> void wait_blocking(future<T>& f)
{
    wait_until_ready(f.state());
}

class shared_future_impl : public std::enable_shared_from_this<shared_future_impl> {
public:
    explicit shared_future_impl(future<void> underlying) noexcept : underlying_(std::move(underlying)) {}

    // Called with the lock held; releases it on every way out. When it throws (out of memory)
    // nothing has changed: h is not a waiter, and the fan-out is neither marked started nor
    // running, so a later waiter still starts it.
    void add_waiter(std::coroutine_handle<> h, std::unique_lock<srw_lock>& guard)
    {
        struct unlock_on_exit {
            std::unique_lock<srw_lock>& g;
            ~unlock_on_exit()
            {
                if (g.owns_lock())
                    g.unlock();
            }
        } release{guard};
        // Made, not started, under the lock: making it runs no code of its own.
        std::optional<deferred_fire_and_forget> fan;
        if (state_ == 0)
            fan.emplace(fan_out(shared_from_this()));
        waiters_.push_back(h);
        if (fan) {
            state_ = 1;
            guard.unlock();
            fan->start();
        }
    }

    srw_lock& lock() noexcept { return lock_; }
    bool done_locked() const noexcept { return state_ == 2; }

    bool ready()
    {
        std::lock_guard guard(lock_);
        return state_ == 2 || underlying_.ready();
    }

    // Rethrows the underlying failure; the future must be complete.
    void rethrow_if_failed()
    {
        wait_blocking(underlying_);
        auto& result = underlying_.state().result;
        if (result.index() == 1)
            std::rethrow_exception(std::get<1>(result));
    }

    future<void>& underlying() noexcept { return underlying_; }

private:
    static void CALLBACK resume_waiter(PTP_CALLBACK_INSTANCE, void* context) noexcept
    {
        std::coroutine_handle<>::from_address(context).resume();
    }

    static deferred_fire_and_forget fan_out(std::shared_ptr<shared_future_impl> self)
    {
        try {
            co_await resume_background();
        } catch (...) {
            // Go on here: the waiters must still be resumed.
        }
        co_await state_observer<void>(self->underlying_.state());
        std::vector<std::coroutine_handle<>> waiters;
        {
            std::lock_guard guard(self->lock_);
            self->state_ = 2;
            waiters.swap(self->waiters_);
        }
        for (std::coroutine_handle<> h : waiters) {
            // A waiter the pool refuses is resumed here rather than left suspended.
            if (!TrySubmitThreadpoolCallback(&shared_future_impl::resume_waiter, h.address(), module_callback_environment()))
                h.resume();
        }
    }

    srw_lock lock_;
    int state_ = 0; // 0 idle, 1 fan-out started, 2 done
    std::vector<std::coroutine_handle<>> waiters_;
    future<void> underlying_;
};

class shared_future {
public:
    shared_future() = default;
    explicit shared_future(future<void> underlying) : impl_(std::make_shared<shared_future_impl>(std::move(underlying))) {}

    explicit operator bool() const noexcept { return static_cast<bool>(impl_); }
    bool ready() const { return impl_->ready(); }

    // Blocks the calling thread until the operation has ended; rethrows its failure. While
    // the operation runs, the thread waits as one more waiter of the fan-out: observing the
    // underlying future directly would take its one continuation from the fan-out.
    void wait() const
    {
        if (!impl_->ready()) {
            auto blocked = std::make_shared<blocked_waiter>();
            wake_when_done(*this, blocked);
            std::unique_lock guard(blocked->lock);
            blocked->cv.wait(blocked->lock, [&] { return blocked->done; });
        }
        impl_->rethrow_if_failed();
    }

    auto operator co_await() const noexcept
    {
        struct awaiter {
            std::shared_ptr<shared_future_impl> impl;
            bool await_ready() noexcept { return false; }
            bool await_suspend(std::coroutine_handle<> h)
            {
                std::unique_lock guard(impl->lock());
                if (impl->done_locked())
                    return false;
                impl->add_waiter(h, guard);
                return true;
            }
            void await_resume() { impl->rethrow_if_failed(); }
        };
        return awaiter{impl_};
    }

private:
    // Shared with the waking coroutine, which may still hold it after wait() returned.
    struct blocked_waiter {
        srw_lock lock;
        condition_variable cv;
        bool done = false;
    };
    static fire_and_forget wake_when_done(shared_future self, std::shared_ptr<blocked_waiter> blocked)
    {
        try {
            co_await self;
        } catch (...) {
            // wait() reads the failure from the underlying future.
        }
        std::lock_guard guard(blocked->lock);
        blocked->done = true;
        blocked->cv.notify_one();
    }

    std::shared_ptr<shared_future_impl> impl_;
};

} // namespace details
} // namespace corun
