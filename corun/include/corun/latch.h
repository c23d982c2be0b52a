#pragma once
// Counts work in flight; a waiter sleeps until the count is back at zero.
#include <cstdint>
#include <exception>
#include <mutex>

#include "corun/srw_lock.h"

namespace corun {
namespace details {

class latch {
public:
    void count_up() noexcept
    {
        std::lock_guard guard(lock_);
        ++count_;
    }
    // A count_down without a count to give back is a programming error: it ends the process
    // (std::terminate) rather than wrap the count and leave wait_zero asleep for ever.
    void count_down() noexcept
    {
        std::lock_guard guard(lock_);
        if (count_ == 0)
            std::terminate();
        if (--count_ == 0)
            cv_.notify_all();
    }
    void wait_zero() noexcept
    {
        std::unique_lock guard(lock_);
        cv_.wait(lock_, [this] { return count_ == 0; });
    }
    std::uint32_t count() noexcept
    {
        std::lock_guard guard(lock_);
        return count_;
    }

private:
    srw_lock lock_;
    condition_variable cv_;
    std::uint32_t count_ = 0;
};

// Holds one count of a latch (taken earlier by count_up) and gives it back on every way out.
class latch_guard {
public:
    explicit latch_guard(latch& l) noexcept : latch_(&l) {}
    latch_guard(const latch_guard&) = delete;
    latch_guard& operator=(const latch_guard&) = delete;
    ~latch_guard() { latch_->count_down(); }

private:
    latch* latch_;
};

} // namespace details
} // namespace corun
