#pragma once
// The handler store of a window: handlers by message number, by WM_COMMAND identifier and
// by WM_NOTIFY (control identifier, code). Handlers are registered while the owner is being
// constructed; the first dispatch closes the store for good, because dispatch reads the
// tables without a lock. UI thread only.
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <utility>
#include <vector>

#include <windows.h>

#include "wl/report_exception.h"

namespace wl {

// What a handler receives, by value.
struct params {
    std::uint32_t message;
    std::uint64_t wParam;
    std::int64_t lParam;
};

namespace wli {

// Raises the logic error of a registration into a closed store.
[[noreturn]] void throw_store_closed();

template <class Command, class Result> class store {
public:
    using handler = std::function<Result(params)>;

    // The window this store serves; set when the window is bound, emptied at WM_NCDESTROY.
    HWND hwnd = nullptr;

    store()
    {
        messages_.reserve(1);
        commands_.reserve(1);
        notifications_.reserve(1);
        messages_.push_back({});
        commands_.push_back({});
        notifications_.push_back({});
    }
    store(const store&) = delete;
    store& operator=(const store&) = delete;

    bool is_open() const noexcept { return open_; }

    // How many handlers of this store are running, the exception report of one included. A
    // posted message handled while another handler runs came through a message loop that the
    // other one runs (a modal dialog, a message box).
    int running_handlers() const noexcept { return running_; }

    void on_message(std::uint32_t message, handler h)
    {
        check_open();
        messages_.push_back({message, std::move(h)});
    }
    void on_command(Command id, handler h)
    {
        check_open();
        commands_.push_back({id, std::move(h)});
    }
    void on_notify(std::uint64_t id_from, std::uint32_t code, handler h)
    {
        check_open();
        notifications_.push_back({{id_from, code}, std::move(h)});
    }

    // One handler for several commands: the first identifier holds it, the others forward to
    // the first identifier's entry. ids must not be empty.
    void add(std::initializer_list<Command> ids, handler h)
    {
        check_open();
        const Command first = *ids.begin();
        const std::size_t target = commands_.size();
        std::size_t extra = 0;
        for (Command id : ids)
            extra += id != first;
        commands_.reserve(commands_.size() + 1 + extra);
        commands_.push_back({first, std::move(h)});
        for (Command id : ids) {
            if (id == first)
                continue;
            commands_.push_back({id, [this, target](params p) { return commands_[target].call(p); }});
        }
    }

    // (handled, value); value means something only when handled. A handler's exception is
    // reported, ends the message loop with -1 and counts as not handled.
    std::pair<bool, Result> dispatch(std::uint32_t message, WPARAM wParam, LPARAM lParam)
    {
        open_ = false;
        const handler* found = nullptr;
        if (message == WM_NOTIFY) {
            // A notification without its header (a WM_NOTIFY(0, 0) from anyone) has nobody to
            // go to.
            const auto* header = reinterpret_cast<const NMHDR*>(lParam);
            if (!header)
                return {false, Result{}};
            found = find(notifications_, notify_key{static_cast<std::uint64_t>(header->idFrom), header->code});
        } else if (message == WM_COMMAND) {
            found = find(commands_, static_cast<Command>(LOWORD(wParam)));
        } else {
            found = find(messages_, message);
        }
        if (!found)
            return {false, Result{}};
        const running_scope running(running_);
        try {
            return {true, (*found)(params{message, static_cast<std::uint64_t>(wParam), static_cast<std::int64_t>(lParam)})};
        } catch (...) {
            report_exception();
            PostQuitMessage(-1);
            return {false, Result{}};
        }
    }

private:
    struct notify_key {
        std::uint64_t id_from = 0;
        std::uint32_t code = 0;
        bool operator==(const notify_key&) const = default;
    };
    struct running_scope {
        int& count;
        explicit running_scope(int& c) noexcept : count(c) { ++count; }
        running_scope(const running_scope&) = delete;
        running_scope& operator=(const running_scope&) = delete;
        ~running_scope() { --count; }
    };
    template <class Key> struct entry {
        Key key{};
        handler call;
    };

    // Backward scan with element 0 as sentinel: the last registration for a key wins.
    template <class Key> const handler* find(std::vector<entry<Key>>& table, const Key& key) noexcept
    {
        table[0].key = key;
        std::size_t i = table.size() - 1;
        while (!(table[i].key == key))
            --i;
        return i == 0 ? nullptr : &table[i].call;
    }

    void check_open() const
    {
        if (!open_)
            throw_store_closed();
    }

    std::vector<entry<std::uint32_t>> messages_;
    std::vector<entry<Command>> commands_;
    std::vector<entry<notify_key>> notifications_;
    bool open_ = true;
    int running_ = 0;
};

using window_store = store<unsigned short, __int64>;

} // namespace wli
} // namespace wl
