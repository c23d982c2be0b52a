#pragma once
// A slim reader/writer lock usable with std::unique_lock and std::shared_lock.
#include <windows.h>

namespace corun {
namespace details {

class srw_lock {
public:
    srw_lock() noexcept = default;
    srw_lock(const srw_lock&) = delete;
    srw_lock& operator=(const srw_lock&) = delete;

    void lock() noexcept { AcquireSRWLockExclusive(&lock_); }
    bool try_lock() noexcept { return TryAcquireSRWLockExclusive(&lock_) != 0; }
    void unlock() noexcept { ReleaseSRWLockExclusive(&lock_); }
    void lock_shared() noexcept { AcquireSRWLockShared(&lock_); }
    bool try_lock_shared() noexcept { return TryAcquireSRWLockShared(&lock_) != 0; }
    void unlock_shared() noexcept { ReleaseSRWLockShared(&lock_); }

    SRWLOCK* native() noexcept { return &lock_; }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

// Condition variable that sleeps on an srw_lock held exclusively.
class condition_variable {
public:
    condition_variable() noexcept = default;
    condition_variable(const condition_variable&) = delete;
    condition_variable& operator=(const condition_variable&) = delete;

    template <class Predicate>
    void wait(srw_lock& held, Predicate done) noexcept
    {
        while (!done())
            SleepConditionVariableSRW(&cv_, held.native(), INFINITE, 0);
    }
    // false when the time ran out with the predicate still false.
    template <class Predicate>
    bool wait_for(srw_lock& held, unsigned long ms, Predicate done) noexcept
    {
        const ULONGLONG until = GetTickCount64() + ms;
        while (!done()) {
            const ULONGLONG now = GetTickCount64();
            if (now >= until)
                return false;
            SleepConditionVariableSRW(&cv_, held.native(), static_cast<DWORD>(until - now), 0);
        }
        return true;
    }
    void notify_one() noexcept { WakeConditionVariable(&cv_); }
    void notify_all() noexcept { WakeAllConditionVariable(&cv_); }

private:
    CONDITION_VARIABLE cv_ = CONDITION_VARIABLE_INIT;
};

} // namespace details
} // namespace corun
