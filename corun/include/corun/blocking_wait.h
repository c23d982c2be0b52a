#pragma once
// Blocking waits for a future, for synchronous callers (COM methods, connection shutdown).
// A wait never times out; the future's exception stays in the future for the caller.
#include <mutex>

#include "corun/fire_and_forget.h"
#include "corun/future.h"
#include "corun/srw_lock.h"

namespace corun {
namespace details {

// Owned by the blocked caller, on its stack.
template <class T> struct waiter_record {
    promise_type_<T>* state;
    srw_lock* lock;
    bool* done;
    condition_variable* cv;
};

// Awaits the watched state without taking its result, then wakes the blocked caller.
template <class T> fire_and_forget blocking_wait(waiter_record<T> waiter)
{
    co_await state_observer<T>(*waiter.state);
    std::lock_guard guard(*waiter.lock);
    *waiter.done = true;
    waiter.cv->notify_one();
}

// Returns once the state holds a result; starts a wait coroutine only when it must sleep.
template <class T> void wait_until_ready(promise_type_<T>& state)
{
    if (state.ready())
        return;
    srw_lock lock;
    condition_variable cv;
    bool done = false;
    blocking_wait<T>(waiter_record<T>{&state, &lock, &done, &cv});
    std::unique_lock guard(lock);
    cv.wait(lock, [&] { return done; });
}

// Blocks until the future completes, then takes its value or rethrows its exception.
template <class T> T wait_get(future<T>& f)
{
    wait_until_ready(f.state());
    return f.get();
}

template <class T> T wait_get(future<T>&& f)
{
    future<T> held(std::move(f));
    return wait_get(held);
}

} // namespace details
} // namespace corun
