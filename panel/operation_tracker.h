#pragma once
// Operations a dialog starts without keeping their future. Each holds an operation_scope (or,
// when the dialog's end need not wait for it, an operation_link) for its whole life; the
// dialog's destructor waits (bounded) for the scopes, then marks the dialog gone so that an
// operation still running never touches it again.
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <utility>

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

// Reaches the owner only while it is alive, and is not waited for at the owner's end: for
// operations that may wait long for something outside (a server's pipe or its reply) and have
// nothing to finish once the owner is gone.
class operation_link {
public:
    explicit operation_link(std::shared_ptr<operation_tracker::state> s) noexcept : state_(std::move(s)) {}
    operation_link(const operation_link&) = delete;
    operation_link& operator=(const operation_link&) = delete;
    // Holds the owner alive while it is used; false (nothing held) once it is gone.
    std::shared_lock<corun::details::srw_lock> use() const
    {
        std::shared_lock guard(state_->lock);
        if (!state_->alive)
            guard.unlock();
        return guard;
    }

protected:
    std::shared_ptr<operation_tracker::state> state_;
};

// An operation that the owner's end waits for (bounded), besides reaching the owner.
class operation_scope : public operation_link {
public:
    explicit operation_scope(std::shared_ptr<operation_tracker::state> s) : operation_link(std::move(s))
    {
        std::lock_guard guard(state_->lock);
        ++state_->running;
    }
    ~operation_scope()
    {
        std::lock_guard guard(state_->lock);
        --state_->running;
        state_->idle.notify_all();
    }
};
