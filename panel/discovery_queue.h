#pragma once
// The queries of the servers that answer a broadcast. Anyone on the network may write to the
// reply mailslot, so what replies can start is bounded: one query per server name at a time (the
// same name offered meanwhile is queried once more after it), a few queries at once, and a
// bounded list of names waiting for their turn; a name beyond that list is dropped.
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>

#include "corun/fire_and_forget.h"
#include "corun/future.h"
#include "corun/srw_lock.h"

namespace panel {

// Each query may hold a thread-pool thread while it opens the server's pipe.
inline constexpr std::size_t discovery_queries_at_once = 8;
inline constexpr std::size_t discovery_names_waiting = 256;

class discovery_queue {
public:
    // Queries one server; the future ends when the query has. Called on a thread-pool thread,
    // never on the thread that offers the name, and it may block that thread for a while.
    using query_function = std::function<corun::details::future<void>(const std::wstring&)>;

    explicit discovery_queue(query_function query, std::size_t at_once = discovery_queries_at_once,
                             std::size_t waiting = discovery_names_waiting);
    discovery_queue(const discovery_queue&) = delete;
    discovery_queue& operator=(const discovery_queue&) = delete;
    // Closes the queue; queries under way end by themselves.
    ~discovery_queue();

    // Takes one server's name and returns at once: its query starts now, or once a query ends.
    // False when the name is dropped (the waiting list is full, or the queue is closed).
    bool offer(std::wstring name);
    // Drops the waiting names; no query starts any more.
    void close() noexcept;

private:
    struct state {
        query_function query;
        std::size_t at_once;
        std::size_t waiting_limit;
        corun::details::srw_lock lock;
        std::size_t runners = 0;                 // queries under way, each run by one runner
        std::unordered_set<std::wstring> running; // their names
        std::unordered_set<std::wstring> again;   // of those, the names offered again meanwhile
        std::deque<std::wstring> waiting;
        std::unordered_set<std::wstring> waiting_names;
        bool closed = false;

        // Queues a name unless it waits already; false when the list is full.
        bool enqueue(const std::wstring& name);
        // The next name for a runner whose query of name has ended, or none: the runner stops.
        std::optional<std::wstring> finished(const std::wstring& name) noexcept;
    };

    // Queries name, then the waiting names one after the other until none is left.
    static corun::details::deferred_fire_and_forget run(std::shared_ptr<state> queue, std::wstring name);

    std::shared_ptr<state> state_;
};

} // namespace panel
