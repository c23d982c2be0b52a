#include "arpc/writer_queue.h"

#include <mutex>

#include "corun/errors.h"
#include "corun/thread_pool.h"

namespace arpc {

writer_queue::entry::~entry()
{
    // Also when the work's own callback resumed the writer that owns this: the pool frees
    // the work once that callback has returned.
    if (self_.work)
        CloseThreadpoolWork(self_.work);
}

bool writer_queue::entry::await_suspend(std::coroutine_handle<> h)
{
    self_.handle = h;
    self_.work = CreateThreadpoolWork(&writer_queue::resume, &self_, corun::details::module_callback_environment());
    if (!self_.work)
        corun::throw_last_error();
    std::lock_guard guard(queue_->lock_);
    if (!queue_->busy_) {
        // The writer before left meanwhile.
        queue_->busy_ = true;
        return false;
    }
    if (queue_->last_)
        queue_->last_->next = &self_;
    else
        queue_->first_ = &self_;
    queue_->last_ = &self_;
    return true;
}

bool writer_queue::try_enter() noexcept
{
    std::lock_guard guard(lock_);
    if (busy_)
        return false;
    busy_ = true;
    return true;
}

void writer_queue::leave() noexcept
{
    waiter* next = nullptr;
    {
        std::lock_guard guard(lock_);
        next = first_;
        if (!next) {
            busy_ = false;
            return;
        }
        first_ = next->next;
        if (!first_)
            last_ = nullptr;
    }
    // The queue stays busy: the turn goes straight to next.
    SubmitThreadpoolWork(next->work);
}

void CALLBACK writer_queue::resume(PTP_CALLBACK_INSTANCE, void* context, PTP_WORK) noexcept
{
    // The resumed writer may end, and free this waiter, before resume() returns.
    static_cast<waiter*>(context)->handle.resume();
}

} // namespace arpc
