#pragma once
// Lets one writer at a time through, in order of arrival, without holding a thread:
//
//   {
//       auto turn = co_await queue.enter();
//       ... write every piece of one frame ...
//   } // the next writer goes on
//
// A writer that finds the queue busy suspends and is resumed on the thread pool when the one
// before it leaves, never on the leaving writer's thread (whose caller may still hold what the
// next writer's caller would wait for). The pool work is made when the writer starts waiting,
// where a failure still reaches that writer; passing the turn on cannot be refused.
#include <coroutine>
#include <utility>

#include <windows.h>

#include "corun/srw_lock.h"

namespace arpc {

class writer_queue {
    struct waiter {
        waiter* next = nullptr;
        std::coroutine_handle<> handle;
        PTP_WORK work = nullptr;
    };

public:
    writer_queue() noexcept = default;
    writer_queue(const writer_queue&) = delete;
    writer_queue& operator=(const writer_queue&) = delete;

    // Held while writing; leaving the scope lets the next writer in.
    class turn {
    public:
        explicit turn(writer_queue& queue) noexcept : queue_(&queue) {}
        turn(turn&& other) noexcept : queue_(std::exchange(other.queue_, nullptr)) {}
        turn& operator=(turn&&) = delete;
        ~turn()
        {
            if (queue_)
                queue_->leave();
        }

    private:
        writer_queue* queue_;
    };

    // The awaiter of enter(). The thread-pool work it may make lives as long as it does.
    class entry {
    public:
        explicit entry(writer_queue& queue) noexcept : queue_(&queue) {}
        entry(const entry& other) noexcept : queue_(other.queue_) {}
        entry& operator=(const entry&) = delete;
        ~entry();

        bool await_ready() noexcept { return queue_->try_enter(); }
        // Throws corun::details::hresult_error when the pool work cannot be made.
        bool await_suspend(std::coroutine_handle<> h);
        turn await_resume() noexcept { return turn(*queue_); }

    private:
        writer_queue* queue_;
        waiter self_;
    };

    entry enter() noexcept { return entry(*this); }

private:
    bool try_enter() noexcept;
    void leave() noexcept;
    static void CALLBACK resume(PTP_CALLBACK_INSTANCE, void* context, PTP_WORK) noexcept;

    corun::details::srw_lock lock_;
    bool busy_ = false;
    waiter* first_ = nullptr;
    waiter* last_ = nullptr;
};

} // namespace arpc
