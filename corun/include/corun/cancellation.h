#pragma once
// Cooperative cancellation: sources, the tokens that operations take from them, and
// subscriptions whose work runs when a source is cancelled.
//
// Lock order: a source's lock, then its tokens' locks, then a subscription's own lock; a
// parent source's lock is held while its children are cancelled.

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include <boost/intrusive/list.hpp>

#include "corun/errors.h"
#include "corun/srw_lock.h"
#include "corun/thread_pool.h"

namespace corun {
namespace details {

class cancellation_token;

class cancellation_subscription_base : public boost::intrusive::list_base_hook<> {
public:
    cancellation_subscription_base(const cancellation_subscription_base&) = delete;
    cancellation_subscription_base& operator=(const cancellation_subscription_base&) = delete;

    // Run by cancel() under the source's and the token's locks: must not block, and must not
    // cancel or subscribe on the same source.
    virtual void callback() noexcept = 0;

protected:
    explicit cancellation_subscription_base(cancellation_token& token) noexcept : token_(&token) {}
    ~cancellation_subscription_base() = default;
    void link();
    void unlink() noexcept;

    cancellation_token* token_;
};

struct cancellation_source_body;
class cancellation_source;

// One token handed to one operation; lives in the operation's coroutine frame and is never
// moved. consumer, when given, is the operation's promise flag (promise_base::cancelled), set
// together with the token's own flag so that the coroutine's next await fails.
class cancellation_token : public boost::intrusive::list_base_hook<> {
public:
    // Throws operation_cancelled, registering nothing, when the source is already cancelled.
    cancellation_token(const cancellation_source& source, std::atomic<bool>* consumer = nullptr);
    cancellation_token(const std::shared_ptr<cancellation_source_body>& source, std::atomic<bool>* consumer = nullptr);
    cancellation_token(const cancellation_token&) = delete;
    cancellation_token& operator=(const cancellation_token&) = delete;
    ~cancellation_token();

    bool is_cancelled() const noexcept { return cancelled_.load(std::memory_order_acquire); }
    void throw_if_cancelled() const
    {
        if (is_cancelled())
            throw operation_cancelled();
    }

private:
    friend struct cancellation_source_body;
    friend class cancellation_subscription_base;

    void register_with_source();
    void notify() noexcept; // called by the source under its lock

    std::shared_ptr<cancellation_source_body> source_;
    std::atomic<bool>* consumer_;
    srw_lock lock_;
    boost::intrusive::list<cancellation_subscription_base> subscriptions_;
    std::atomic<bool> cancelled_{false};
};

struct cancellation_source_body {
    srw_lock lock;
    boost::intrusive::list<cancellation_token> tokens;
    std::vector<std::weak_ptr<cancellation_source_body>> children;
    bool cancelled = false;
    // add_child drops expired children once the list reaches this size.
    static constexpr std::size_t min_sweep = 16;
    std::size_t sweep_at = min_sweep;

    cancellation_source_body() = default;
    cancellation_source_body(const cancellation_source_body&) = delete;
    ~cancellation_source_body();

    // Cancels once: marks and notifies every token, then every living child.
    void cancel() noexcept;
    bool is_cancelled() noexcept;
    // Appends a weak reference to child under this body's exclusive lock; a child added to a
    // source that is cancelled already is cancelled at once instead.
    void add_child(const std::shared_ptr<cancellation_source_body>& child);
};

class cancellation_source {
public:
    cancellation_source();
    explicit cancellation_source(std::shared_ptr<cancellation_source_body> body) noexcept : body_(std::move(body)) {}

    // A new source that the parent's cancellation also cancels; cancelled from the start when
    // the parent is cancelled already.
    static cancellation_source child_of(const cancellation_source& parent);

    void cancel() const noexcept { body_->cancel(); }
    bool is_cancelled() const noexcept { return body_->is_cancelled(); }
    const std::shared_ptr<cancellation_source_body>& body() const noexcept { return body_; }

private:
    std::shared_ptr<cancellation_source_body> body_;
};

// Runs f once on a thread-pool thread when the token's source is cancelled, never on the
// cancelling thread, which holds the source's and the token's locks. The pool work is made with
// the subscription, so that its later submission cannot fail: construction throws hresult_error
// when the pool cannot make it. The destructor unlinks the subscription and waits until work
// already started has finished, so f may use what the subscription's owner holds. A
// subscription made after the cancellation does not run f: its owner tests the token after
// subscribing.
template <class F> class cancellation_subscription final : public cancellation_subscription_base {
public:
    cancellation_subscription(cancellation_token& token, F f)
        : cancellation_subscription_base(token), f_(std::move(f)),
          work_(CreateThreadpoolWork(&cancellation_subscription::run, this, module_callback_environment()))
    {
        if (!work_)
            throw_last_error();
        link();
    }
    ~cancellation_subscription()
    {
        unlink();
        {
            std::unique_lock guard(lock_);
            cv_.wait(lock_, [this] { return idle_; });
        }
        // The work may still be returning from run(): the pool frees it once it has.
        CloseThreadpoolWork(work_);
    }

    void callback() noexcept override
    {
        {
            std::lock_guard guard(lock_);
            idle_ = false;
        }
        SubmitThreadpoolWork(work_);
    }

private:
    static void CALLBACK run(PTP_CALLBACK_INSTANCE, void* context, PTP_WORK) noexcept
    {
        auto* self = static_cast<cancellation_subscription*>(context);
        try {
            self->f_();
        } catch (...) {
        }
        std::lock_guard guard(self->lock_);
        self->idle_ = true;
        self->cv_.notify_all();
    }

    F f_;
    PTP_WORK work_;
    srw_lock lock_;
    condition_variable cv_;
    bool idle_ = true;
};

} // namespace details

using cancellation_source = details::cancellation_source;
using cancellation_token = details::cancellation_token;
template <class F> using cancellation_subscription = details::cancellation_subscription<F>;

} // namespace corun
