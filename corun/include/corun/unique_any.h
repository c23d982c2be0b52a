#pragma once
// Move-only holders of system handles: one template, and per handle kind a traits type that
// names the handle type, spells its empty value and releases it. The kernel handle kinds that
// every floor meets are here; the libraries above add the kinds of their own (registry keys,
// WinINet handles, device lists, modules).
#include <windows.h>

#include <utility>

namespace corun {
namespace details {

template <class Traits> class unique_any {
public:
    using pointer = typename Traits::pointer;

    unique_any() noexcept = default;
    explicit unique_any(pointer value) noexcept : value_(value) {}
    unique_any(unique_any&& other) noexcept : value_(other.release()) {}
    unique_any& operator=(unique_any&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    unique_any(const unique_any&) = delete;
    unique_any& operator=(const unique_any&) = delete;
    ~unique_any() { reset(); }

    pointer get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != Traits::empty(); }

    pointer release() noexcept { return std::exchange(value_, Traits::empty()); }
    void reset(pointer value = Traits::empty()) noexcept
    {
        const pointer old = std::exchange(value_, value);
        if (old != Traits::empty())
            Traits::close(old);
    }
    // For out parameters: releases what is held and hands out the slot.
    pointer* put() noexcept
    {
        reset();
        return &value_;
    }

private:
    pointer value_ = Traits::empty();
};

// Kernel objects that come back null on failure: events, mutexes, threads, processes, tokens.
struct kernel_handle_traits {
    using pointer = HANDLE;
    static pointer empty() noexcept { return nullptr; }
    static void close(pointer h) noexcept { CloseHandle(h); }
};

// Files, pipes and devices, which come back as INVALID_HANDLE_VALUE on failure.
struct file_handle_traits {
    using pointer = HANDLE;
    static pointer empty() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(pointer h) noexcept { CloseHandle(h); }
};

using unique_handle = unique_any<kernel_handle_traits>;
using unique_file = unique_any<file_handle_traits>;

} // namespace details
} // namespace corun
