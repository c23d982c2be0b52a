#pragma once
// Helpers of the doubles' own tests and set-up tool: holders for SetupAPI lists and
// handles, and the node operations a test performs the way the library does them.
#include <windows.h>
#include <setupapi.h>

#include <string>
#include <utility>
#include <vector>

namespace wharf_test {

inline constexpr wchar_t virtual_port_hardware_id[] = L"VelmorVIRT\\VelmorTidewell1";
// {A4C98EBA-8F1B-40DE-A882-212D33E92299}
inline constexpr GUID port_interface_class =
    {0xa4c98eba, 0x8f1b, 0x40de, {0xa8, 0x82, 0x21, 0x2d, 0x33, 0xe9, 0x22, 0x99}};
// GUID_DEVINTERFACE_COMPORT
inline constexpr GUID comport_interface_class =
    {0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
// GUID_DEVCLASS_PORTS
inline constexpr GUID ports_setup_class =
    {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// Owns a device information list.
class device_info_list {
public:
    device_info_list() noexcept = default;
    explicit device_info_list(HDEVINFO set) noexcept : set_(set) {}
    device_info_list(device_info_list&& other) noexcept
        : set_(std::exchange(other.set_, INVALID_HANDLE_VALUE)) {}
    device_info_list& operator=(device_info_list&& other) noexcept
    {
        std::swap(set_, other.set_);
        return *this;
    }
    ~device_info_list()
    {
        if (set_ != INVALID_HANDLE_VALUE)
            SetupDiDestroyDeviceInfoList(set_);
    }
    HDEVINFO get() const noexcept { return set_; }
    explicit operator bool() const noexcept { return set_ != INVALID_HANDLE_VALUE; }

private:
    HDEVINFO set_ = INVALID_HANDLE_VALUE;
};

// Owns a kernel object handle whose empty value is INVALID_HANDLE_VALUE (files, devices).
class file_handle {
public:
    file_handle() noexcept = default;
    explicit file_handle(HANDLE h) noexcept : h_(h) {}
    file_handle(file_handle&& other) noexcept : h_(std::exchange(other.h_, INVALID_HANDLE_VALUE)) {}
    file_handle& operator=(file_handle&& other) noexcept
    {
        std::swap(h_, other.h_);
        return *this;
    }
    ~file_handle()
    {
        if (h_ != INVALID_HANDLE_VALUE)
            CloseHandle(h_);
    }
    HANDLE get() const noexcept { return h_; }
    explicit operator bool() const noexcept { return h_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

// Hardware IDs of a node as one string per entry; empty when it has none.
inline std::vector<std::wstring> hardware_ids(HDEVINFO set, SP_DEVINFO_DATA& node)
{
    std::vector<wchar_t> buffer(1024, L'\0');
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(set, &node, SPDRP_HARDWAREID, &type,
                                           reinterpret_cast<BYTE*>(buffer.data()),
                                           static_cast<DWORD>((buffer.size() - 2) * sizeof(wchar_t)),
                                           nullptr) ||
        type != REG_MULTI_SZ)
        return {};
    std::vector<std::wstring> ids;
    for (const wchar_t* p = buffer.data(); *p; p += ids.back().size() + 1)
        ids.emplace_back(p);
    return ids;
}

// Removes a node the way the library does (DIF_REMOVE, global scope). Returns the last error
// of the failing step, or ERROR_SUCCESS.
inline DWORD remove_node(HDEVINFO set, SP_DEVINFO_DATA& node) noexcept
{
    SP_REMOVEDEVICE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    params.Scope = DI_REMOVEDEVICE_GLOBAL;
    // Wine 8 does not implement SetupDiSetClassInstallParamsW (it fails without doing
    // anything); DIF_REMOVE then removes globally, which is what the parameters ask for.
    SetupDiSetClassInstallParamsW(set, &node, &params.ClassInstallHeader, sizeof(params));
    if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &node)) {
        DWORD error = GetLastError();
        return error ? error : ERROR_GEN_FAILURE;
    }
    return ERROR_SUCCESS;
}

// Removes every node, present or not, that carries the virtual port's hardware ID. Returns
// how many were removed.
inline int remove_virtual_port_nodes() noexcept
{
    device_info_list all(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
    if (!all)
        return 0;
    int removed = 0;
    SP_DEVINFO_DATA node{sizeof(node)};
    for (DWORD i = 0; SetupDiEnumDeviceInfo(all.get(), i, &node); ++i) {
        try {
            for (const auto& id : hardware_ids(all.get(), node)) {
                if (_wcsicmp(id.c_str(), virtual_port_hardware_id) == 0) {
                    if (remove_node(all.get(), node) == ERROR_SUCCESS)
                        ++removed;
                    break;
                }
            }
        } catch (...) {
        }
        node.cbSize = sizeof(node);
    }
    return removed;
}

// The number of nodes, present or not, that carry the virtual port's hardware ID.
inline int count_virtual_port_nodes()
{
    device_info_list all(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
    int count = 0;
    SP_DEVINFO_DATA node{sizeof(node)};
    for (DWORD i = 0; all && SetupDiEnumDeviceInfo(all.get(), i, &node); ++i) {
        for (const auto& id : hardware_ids(all.get(), node))
            if (_wcsicmp(id.c_str(), virtual_port_hardware_id) == 0)
                ++count;
        node.cbSize = sizeof(node);
    }
    return count;
}

// Device-interface paths of a class that SetupAPI lists as present.
inline std::vector<std::wstring> present_interface_paths(const GUID& interface_class)
{
    std::vector<std::wstring> paths;
    device_info_list set(SetupDiGetClassDevsExW(&interface_class, nullptr, nullptr,
                                                DIGCF_PRESENT | DIGCF_DEVICEINTERFACE, nullptr,
                                                nullptr, nullptr));
    if (!set)
        return paths;
    SP_DEVICE_INTERFACE_DATA data{sizeof(data)};
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set.get(), nullptr, &interface_class, i, &data); ++i) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set.get(), &data, nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
            continue;
        std::vector<BYTE> buffer(size);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (SetupDiGetDeviceInterfaceDetailW(set.get(), &data, detail, size, nullptr, nullptr))
            paths.emplace_back(detail->DevicePath);
    }
    return paths;
}

} // namespace wharf_test
