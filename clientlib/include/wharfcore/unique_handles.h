#pragma once
// Move-only holders for the handle kinds of the device code: device lists, registry keys,
// files, kernel objects, device notifications and modules. One template; each handle kind spells its empty value and its release in a traits type.
#include <windows.h>
#include <setupapi.h>
#include <dbt.h>

#include <utility>

namespace wharfcore {

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

struct devinfo_traits {
    using pointer = HDEVINFO;
    static pointer empty() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(pointer h) noexcept { SetupDiDestroyDeviceInfoList(h); }
};

struct hkey_traits {
    using pointer = HKEY;
    static pointer empty() noexcept { return nullptr; }
    static void close(pointer h) noexcept { RegCloseKey(h); }
};

// Keys that SetupAPI hands out come back as INVALID_HANDLE_VALUE on failure.
struct setup_hkey_traits {
    using pointer = HKEY;
    static pointer empty() noexcept { return static_cast<HKEY>(INVALID_HANDLE_VALUE); }
    static void close(pointer h) noexcept { RegCloseKey(h); }
};

struct file_traits {
    using pointer = HANDLE;
    static pointer empty() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(pointer h) noexcept { CloseHandle(h); }
};

struct kernel_handle_traits {
    using pointer = HANDLE;
    static pointer empty() noexcept { return nullptr; }
    static void close(pointer h) noexcept { CloseHandle(h); }
};

struct device_notify_traits {
    using pointer = HDEVNOTIFY;
    static pointer empty() noexcept { return nullptr; }
    static void close(pointer h) noexcept { UnregisterDeviceNotification(h); }
};

struct hmodule_traits {
    using pointer = HMODULE;
    static pointer empty() noexcept { return nullptr; }
    static void close(pointer h) noexcept { FreeLibrary(h); }
};

using unique_devinfo = unique_any<devinfo_traits>;
using unique_hkey = unique_any<hkey_traits>;
using unique_setup_hkey = unique_any<setup_hkey_traits>;
using unique_file = unique_any<file_traits>;
using unique_handle = unique_any<kernel_handle_traits>;
using unique_device_notify = unique_any<device_notify_traits>;
using unique_hmodule = unique_any<hmodule_traits>;

} // namespace wharfcore
