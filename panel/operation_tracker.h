#pragma once
// Operations a dialog starts without keeping their future. Each holds an operation_scope for
// its whole life; the dialog's destructor waits (bounded) for them, then marks the dialog gone
// so that an operation still running never touches it again.
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "corun/srw_lock.h"

class operation_tracker {
public:
    struct state {
        corun::details::srw_lock lock;
        corun::details::condition_variable idle;
        int running = 0;
        bool alive = true;
    };

    operation_tracker() : state_(std::make_shared<state>()) {}
    const std::shared_ptr<state>& shared() const noexcept { return state_; }

    // Waits up to ms for the running operations, then marks the owner gone for good.
    void close(unsigned long ms) noexcept
    {
        std::unique_lock guard(state_->lock);
        state_->idle.wait_for(state_->lock, ms, [&] { return state_->running == 0; });
        state_->alive = false;
    }

private:
    std::shared_ptr<state> state_;
};

class operation_scope {
public:
    explicit operation_scope(std::shared_ptr<operation_tracker::state> s) : state_(std::move(s))
    {
        std::lock_guard guard(state_->lock);
        ++state_->running;
    }
    operation_scope(const operation_scope&) = delete;
    operation_scope& operator=(const operation_scope&) = delete;
    ~operation_scope()
    {
        std::lock_guard guard(state_->lock);
        --state_->running;
        state_->idle.notify_all();
    }
    // Holds the owner alive while it is used; false (nothing held) once it is gone.
    std::shared_lock<corun::details::srw_lock> use() const
    {
        std::shared_lock guard(state_->lock);
        if (!state_->alive)
            guard.unlock();
        return guard;
    }

private:
    std::shared_ptr<operation_tracker::state> state_;
};
