#pragma once
// Holders for the handle kinds of the device code: device lists, SetupAPI's registry keys,
// device notifications and modules, as traits of the one holder template; kernel objects and
// files use the kinds the template comes with.
#include <windows.h>
#include <setupapi.h>
#include <dbt.h>

#include "corun/unique_any.h"

namespace wharfcore {

using corun::details::unique_any;

struct devinfo_traits {
    using pointer = HDEVINFO;
    static pointer empty() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(pointer h) noexcept { SetupDiDestroyDeviceInfoList(h); }
};

// Keys that SetupAPI hands out come back as INVALID_HANDLE_VALUE on failure.
struct setup_hkey_traits {
    using pointer = HKEY;
    static pointer empty() noexcept { return static_cast<HKEY>(INVALID_HANDLE_VALUE); }
    static void close(pointer h) noexcept { RegCloseKey(h); }
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
using unique_setup_hkey = unique_any<setup_hkey_traits>;
using unique_file = corun::details::unique_file;
using unique_handle = corun::details::unique_handle;
using unique_device_notify = unique_any<device_notify_traits>;
using unique_hmodule = unique_any<hmodule_traits>;

} // namespace wharfcore
