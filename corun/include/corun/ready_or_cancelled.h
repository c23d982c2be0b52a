#pragma once
// Waits for another operation's result or for a cancellation, whichever comes first:
//   co_await corun::details::ready_or_cancelled(other, source);
// completes once other holds its result, which stays there for its owner to take, or fails with
// operation_cancelled as soon as source is cancelled. Completed by the result, the waiter goes
// on on the thread that stored it; ended by the cancellation, it goes on on a thread-pool thread
// and the other operation no longer refers to it. Either way the wait has left the source by
// then. Should the thread pool be unable to take the wait's work item, the wait fails with that
// error before it suspends.
#include <coroutine>
#include <mutex>

#include <windows.h>

#include "corun/cancellation.h"
#include "corun/future.h"
#include "corun/thread_pool.h"

namespace corun {
namespace details {

// The two ways one wait can end meet under the watched state's lock: either the state's
// completion takes the waiter out of its continuation to resume it, or the cancellation takes
// it back first. The waiter is resumed exactly once.
//
// The cancellation's way back to the waiter is a pool work item made when the waiter suspends:
// submitting made work cannot fail, so a cancellation, which a source delivers only once, is
// never lost to a pool that refuses new work. A wait whose work cannot be made fails at once
// with that error instead of suspending.
template <class T> class state_or_cancellation final : public cancellation_subscription_base {
public:
    state_or_cancellation(promise_type_<T>& state, cancellation_token& token)
        : cancellation_subscription_base(token), state_(state), token_(token)
    {
        link();
    }
    state_or_cancellation(const state_or_cancellation&) = delete;
    state_or_cancellation& operator=(const state_or_cancellation&) = delete;
    // Unlinking waits for a callback in progress (it runs under the token's lock). The work
    // may be the very callback that resumed the waiter now ending here: the pool frees it once
    // that callback has returned.
    ~state_or_cancellation()
    {
        unlink();
        if (work_)
            CloseThreadpoolWork(work_);
    }

    struct awaiter {
        state_or_cancellation* race;
        bool await_ready() const noexcept { return false; }
        bool await_suspend(std::coroutine_handle<> h) { return race->suspend(h); }
        void await_resume() const
        {
            if (race->cancelled_)
                throw operation_cancelled();
        }
    };
    awaiter wait() noexcept { return awaiter{this}; }

    // Runs under the source's and the token's locks, so it may not resume the waiter here: the
    // waiter's own end takes those locks. The work made at suspension resumes it on the pool.
    void callback() noexcept override
    {
        std::lock_guard guard(state_.lock);
        if (!waiter_ || state_.continuation != waiter_)
            return;
        state_.continuation = nullptr;
        cancelled_ = true;
        SubmitThreadpoolWork(work_);
    }

private:
    // True when the waiter must suspend: neither the result nor the cancellation is there yet.
    bool suspend(std::coroutine_handle<> h)
    {
        work_ = CreateThreadpoolWork(&state_or_cancellation::resume, h.address(), module_callback_environment());
        if (!work_)
            throw_last_error();
        std::lock_guard guard(state_.lock);
        if (state_.result.index() != 0)
            return false;
        // The token's flag is set before the callbacks run, so a cancellation that found no
        // waiter yet is seen here.
        if (token_.is_cancelled()) {
            cancelled_ = true;
            return false;
        }
        waiter_ = h;
        state_.continuation = h;
        return true;
    }

    static void CALLBACK resume(PTP_CALLBACK_INSTANCE, void* context, PTP_WORK) noexcept
    {
        std::coroutine_handle<>::from_address(context).resume();
    }

    promise_type_<T>& state_;
    cancellation_token& token_;
    PTP_WORK work_ = nullptr;        // made before the waiter is published
    std::coroutine_handle<> waiter_; // written and read under the state's lock
    bool cancelled_ = false;         // written before the waiter is resumed
};

// state must outlive the wait and have no other waiter; source is held by the wait.
template <class T> future<void> ready_or_cancelled(promise_type_<T>& state, cancellation_source source)
{
    {
        // The token and the subscription leave the source in this block, before the owner is
        // resumed by the completion below: the owner may cancel the source or free the state
        // as soon as it runs.
        cancellation_token token(source); // throws operation_cancelled when already cancelled
        state_or_cancellation<T> race(state, token);
        co_await race.wait();
    }
    co_return;
}

// The same for a future that the caller keeps: its result stays in it.
template <class T> future<void> ready_or_cancelled(future<T>& other, cancellation_source source)
{
    return ready_or_cancelled(other.state(), std::move(source));
}

} // namespace details
} // namespace corun
