#include "corun/cancellation.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>

namespace corun {
namespace details {

cancellation_source_body::~cancellation_source_body()
{
    // Tokens hold a reference to their source, so none can be linked here; be safe anyway.
    tokens.clear();
}

void cancellation_source_body::cancel() noexcept
{
    std::lock_guard guard(lock);
    if (cancelled)
        return;
    cancelled = true;
    for (cancellation_token& token : tokens)
        token.notify();
    for (auto& weak : children)
        if (auto child = weak.lock())
            child->cancel();
    children.clear();
}

bool cancellation_source_body::is_cancelled() noexcept
{
    std::shared_lock guard(lock);
    return cancelled;
}

void cancellation_source_body::add_child(const std::shared_ptr<cancellation_source_body>& child)
{
    std::lock_guard guard(lock);
    if (cancelled) {
        // This source will not cancel again: a child joining now starts cancelled, or an
        // operation started during shutdown would never be told. Parent before child, as in
        // cancel().
        child->cancel();
        return;
    }
    if (children.size() >= sweep_at) {
        // Children usually die long before their parent; dropping the dead ones here (and
        // the control blocks their weak references keep) bounds the list by the living ones.
        // The next sweep waits until the list has doubled, so each append stays O(1)
        // amortised.
        std::erase_if(children, [](const std::weak_ptr<cancellation_source_body>& c) { return c.expired(); });
        sweep_at = std::max(min_sweep, 2 * children.size());
    }
    children.push_back(child);
}

cancellation_source::cancellation_source() : body_(std::make_shared<cancellation_source_body>()) {}

cancellation_source cancellation_source::child_of(const cancellation_source& parent)
{
    cancellation_source child;
    parent.body_->add_child(child.body_);
    return child;
}

cancellation_token::cancellation_token(const cancellation_source& source, std::atomic<bool>* consumer)
    : source_(source.body()), consumer_(consumer)
{
    register_with_source();
}

cancellation_token::cancellation_token(const std::shared_ptr<cancellation_source_body>& source, std::atomic<bool>* consumer)
    : source_(source), consumer_(consumer)
{
    register_with_source();
}

void cancellation_token::register_with_source()
{
    // The test and the append happen under one exclusive hold, so a cancel cannot slip in
    // between them and be lost.
    std::unique_lock guard(source_->lock);
    if (source_->cancelled) {
        guard.unlock();
        source_.reset();
        throw operation_cancelled();
    }
    source_->tokens.push_back(*this);
}

cancellation_token::~cancellation_token()
{
    if (!source_)
        return;
    {
        std::lock_guard guard(source_->lock);
        if (is_linked())
            source_->tokens.erase(source_->tokens.iterator_to(*this));
    }
    {
        std::lock_guard guard(lock_);
        subscriptions_.clear();
    }
    source_.reset();
}

void cancellation_token::notify() noexcept
{
    std::lock_guard guard(lock_);
    cancelled_.store(true, std::memory_order_release);
    if (consumer_)
        consumer_->store(true, std::memory_order_release);
    for (cancellation_subscription_base& subscription : subscriptions_)
        subscription.callback();
}

void cancellation_subscription_base::link()
{
    std::lock_guard guard(token_->lock_);
    token_->subscriptions_.push_back(*this);
}

void cancellation_subscription_base::unlink() noexcept
{
    std::lock_guard guard(token_->lock_);
    if (is_linked())
        token_->subscriptions_.erase(token_->subscriptions_.iterator_to(*this));
}

} // namespace details
} // namespace corun
