#include "discovery_queue.h"

#include <mutex>
#include <utility>

#include "corun/thread_pool.h"

namespace panel {

discovery_queue::discovery_queue(query_function query, std::size_t at_once, std::size_t waiting)
    : state_(std::make_shared<state>())
{
    state_->query = std::move(query);
    state_->at_once = at_once;
    state_->waiting_limit = waiting;
}

discovery_queue::~discovery_queue()
{
    close();
}

bool discovery_queue::offer(std::wstring name)
{
    std::optional<corun::details::deferred_fire_and_forget> runner;
    {
        std::lock_guard guard(state_->lock);
        state& queue = *state_;
        if (queue.closed)
            return false;
        if (queue.running.contains(name)) {
            queue.again.insert(std::move(name));
            return true;
        }
        if (queue.runners >= queue.at_once)
            return queue.enqueue(name);
        queue.running.insert(name);
        try {
            runner.emplace(run(state_, name));
        } catch (...) {
            queue.running.erase(name);
            throw;
        }
        ++queue.runners;
    }
    runner->start();
    return true;
}

void discovery_queue::close() noexcept
{
    std::lock_guard guard(state_->lock);
    state_->closed = true;
    state_->waiting.clear();
    state_->waiting_names.clear();
    state_->again.clear();
}

bool discovery_queue::state::enqueue(const std::wstring& name)
{
    if (waiting_names.contains(name))
        return true;
    if (waiting.size() >= waiting_limit)
        return false;
    waiting.push_back(name);
    try {
        waiting_names.insert(name);
    } catch (...) {
        waiting.pop_back();
        throw;
    }
    return true;
}

std::optional<std::wstring> discovery_queue::state::finished(const std::wstring& name) noexcept
{
    std::optional<std::wstring> next;
    std::lock_guard guard(lock);
    running.erase(name);
    const bool offered_again = again.erase(name) != 0;
    try {
        if (!closed) {
            if (!waiting.empty()) {
                next = std::move(waiting.front());
                waiting.pop_front();
                waiting_names.erase(*next);
            }
            // The server answered again while it was being queried: its list may have changed
            // since, so it is queried once more, after the names that waited before it.
            if (offered_again) {
                if (next)
                    (void)enqueue(name);
                else
                    next = name;
            }
            if (next)
                running.insert(*next);
        }
    } catch (...) {
        next.reset(); // out of memory: that name is dropped
    }
    if (!next)
        --runners;
    return next;
}

corun::details::deferred_fire_and_forget discovery_queue::run(std::shared_ptr<state> queue, std::wstring name)
{
    for (;;) {
        try {
            // Off the offering thread (the reply listener's), and never on the thread that ended
            // the previous query, which may still have that query's connection to close.
            co_await corun::resume_background();
            co_await corun::details::future_awaiter<void>(queue->query(name));
        } catch (...) {
            // A failed query only leaves its server out.
        }
        auto next = queue->finished(name);
        if (!next)
            co_return;
        name = std::move(*next);
    }
}

} // namespace panel
