#pragma once
// What the doubles' tests share: a Ports-class node made the way the library makes it and
// installed through the newdev double, and a message-only window that collects
// device-interface notifications.
#include <windows.h>
#include <dbt.h>
#include <setupapi.h>
#include <newdev.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/device_nodes.h"

namespace wharf_test {

using install_device_fn = BOOL(WINAPI*)(HWND, HDEVINFO, SP_DEVINFO_DATA*, SP_DRVINFO_DATA_W*,
                                         DWORD, BOOL*);

inline install_device_fn newdev_install_device()
{
    HMODULE newdev = LoadLibraryW(L"newdev.dll");
    return newdev ? reinterpret_cast<install_device_fn>(GetProcAddress(newdev, "DiInstallDevice"))
                  : nullptr;
}

// A registered Ports node with the virtual port's hardware ID; removed again on destruction
// unless the test removed it.
class test_node {
public:
    test_node()
    {
        set_ = device_info_list(SetupDiCreateDeviceInfoList(&ports_setup_class, nullptr));
        if (!set_)
            return;
        node_.cbSize = sizeof(node_);
        if (!SetupDiCreateDeviceInfoW(set_.get(), L"Ports", &ports_setup_class, nullptr, nullptr,
                                      DICD_GENERATE_ID, &node_))
            return;
        wchar_t ids[64] = {};
        wcscpy(ids, virtual_port_hardware_id);
        DWORD bytes = static_cast<DWORD>((wcslen(ids) + 2) * sizeof(wchar_t));
        if (!SetupDiSetDeviceRegistryPropertyW(set_.get(), &node_, SPDRP_HARDWAREID,
                                               reinterpret_cast<BYTE*>(ids), bytes) ||
            !SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set_.get(), &node_))
            return;
        registered_ = true;
        wchar_t id[200] = {};
        if (SetupDiGetDeviceInstanceIdW(set_.get(), &node_, id, 200, nullptr))
            instance_id_ = id;
    }
    ~test_node()
    {
        if (registered_)
            remove();
    }
    test_node(const test_node&) = delete;
    test_node& operator=(const test_node&) = delete;

    bool registered() const noexcept { return registered_; }
    const std::wstring& instance_id() const noexcept { return instance_id_; }

    // Calls the newdev double as the library does.
    BOOL install(BOOL* need_reboot, DWORD flags = DIIDFLAG_SHOWSEARCHUI)
    {
        install_device_fn install = newdev_install_device();
        if (!install) {
            ADD_FAILURE() << "newdev.dll has no DiInstallDevice";
            return FALSE;
        }
        return install(nullptr, set_.get(), &node_, nullptr, flags, need_reboot);
    }

    // Writes "PortName" into the node's device key, as the library does before installing.
    bool write_port_name(const std::wstring& name)
    {
        HKEY key = SetupDiCreateDevRegKeyW(set_.get(), &node_, DICS_FLAG_GLOBAL, 0, DIREG_DEV,
                                           nullptr, nullptr);
        if (key == INVALID_HANDLE_VALUE)
            return false;
        LSTATUS rc = RegSetValueExW(key, L"PortName", 0, REG_SZ,
                                    reinterpret_cast<const BYTE*>(name.c_str()),
                                    static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
        return rc == ERROR_SUCCESS;
    }

    DWORD remove()
    {
        registered_ = false;
        return remove_node(set_.get(), node_);
    }

    // The node's interface path of a class (present or not), or empty.
    std::wstring interface_path(const GUID& interface_class) const
    {
        for (const auto& path : present_interface_paths(interface_class))
            if (path_belongs_to_node(path))
                return path;
        return {};
    }

    // Interface paths read \\?\<instance ID with # for \>#{class}.
    bool path_belongs_to_node(std::wstring path) const
    {
        std::wstring id = instance_id_;
        for (auto& c : id)
            if (c == L'\\')
                c = L'#';
        for (auto& c : path)
            c = towupper(c);
        for (auto& c : id)
            c = towupper(c);
        return !id.empty() && path.find(L"\\" + id + L"#") != std::wstring::npos;
    }

private:
    device_info_list set_;
    SP_DEVINFO_DATA node_{};
    bool registered_ = false;
    std::wstring instance_id_;
};

// Message-only window registered for one device-interface class; records each
// WM_DEVICECHANGE as (event, interface name).
class notification_window {
public:
    struct event {
        WPARAM type;
        std::wstring name;
    };

    explicit notification_window(const GUID& interface_class)
    {
        WNDCLASSW wc{};
        wc.lpfnWndProc = &notification_window::procedure;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"WharfDoublesNotificationWindow";
        RegisterClassW(&wc);
        window_ = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  wc.hInstance, this);
        if (!window_)
            return;
        DEV_BROADCAST_DEVICEINTERFACE_W filter{};
        filter.dbcc_size = sizeof(filter);
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = interface_class;
        registration_ = RegisterDeviceNotificationW(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    }
    ~notification_window()
    {
        if (registration_)
            UnregisterDeviceNotification(registration_);
        if (window_)
            DestroyWindow(window_);
    }
    notification_window(const notification_window&) = delete;
    notification_window& operator=(const notification_window&) = delete;

    bool ready() const noexcept { return window_ && registration_; }

    // Pumps this thread's messages until an event of the type for a name accepted by the
    // predicate has arrived, or the time is up.
    template <typename Accept>
    bool wait_for(WPARAM type, Accept accept, std::chrono::milliseconds limit = std::chrono::seconds(10))
    {
        auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            for (const auto& e : events_)
                if (e.type == type && accept(e.name))
                    return true;
            auto now = std::chrono::steady_clock::now();
            if (now >= end)
                return false;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
            MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left), QS_ALLINPUT);
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
        }
    }

private:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
    {
        if (message == WM_NCCREATE) {
            auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        }
        auto* self = reinterpret_cast<notification_window*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (message == WM_DEVICECHANGE && self) {
            auto* header = reinterpret_cast<DEV_BROADCAST_HDR*>(lparam);
            std::wstring name;
            if (header && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE)
                name = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(header)->dbcc_name;
            self->events_.push_back({wparam, name});
            return TRUE;
        }
        return DefWindowProcW(window, message, wparam, lparam);
    }

    HWND window_ = nullptr;
    HDEVNOTIFY registration_ = nullptr;
    std::vector<event> events_;
};

} // namespace wharf_test
