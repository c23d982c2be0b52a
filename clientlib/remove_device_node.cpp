#include "remove_device_node.h"

#include <vector>

#include <cfgmgr32.h>

#include "corun/errors.h"
#include "device_interfaces.h"
#include "system_library.h"
#include "wharfcore/unique_handles.h"

namespace wharfcore {
namespace {

// An interface opened into a set; its data is deleted again when the holder goes.
class interface_entry {
public:
    explicit interface_entry(HDEVINFO set) noexcept : set_(set) { data_.cbSize = sizeof(data_); }
    interface_entry(const interface_entry&) = delete;
    interface_entry& operator=(const interface_entry&) = delete;
    ~interface_entry()
    {
        if (opened_)
            SetupDiDeleteDeviceInterfaceData(set_, &data_);
    }
    SP_DEVICE_INTERFACE_DATA* data() noexcept { return &data_; }
    void opened() noexcept { opened_ = true; }

private:
    HDEVINFO set_;
    SP_DEVICE_INTERFACE_DATA data_{};
    bool opened_ = false;
};

// Where SetupDiOpenDeviceInterfaceW is not available (it fails on some systems without
// setting an error), the node is found by listing the driver's interfaces and comparing paths.
bool find_by_enumeration(HDEVINFO set, const std::wstring& devicePath, interface_entry& entry, SP_DEVINFO_DATA& node)
{
    for (DWORD index = 0;; ++index) {
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &port_interface_class, index, entry.data()))
            return false;
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set, entry.data(), nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
            continue;
        std::vector<std::byte> buffer(size);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        node.cbSize = sizeof(node);
        if (!SetupDiGetDeviceInterfaceDetailW(set, entry.data(), detail, size, nullptr, &node))
            continue;
        if (CompareStringOrdinal(detail->DevicePath, -1, devicePath.c_str(), -1, TRUE) == CSTR_EQUAL)
            return true;
    }
}

} // namespace

bool RemoveDeviceNodeOfSet(HDEVINFO set, SP_DEVINFO_DATA& node)
{
    SP_REMOVEDEVICE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    params.Scope = DI_REMOVEDEVICE_GLOBAL;
    params.HwProfile = 0;
    SetLastError(ERROR_SUCCESS);
    if (!SetupDiSetClassInstallParamsW(set, &node, &params.ClassInstallHeader, sizeof(params))) {
        // Some systems (Wine) do not implement class install parameters and fail without an
        // error code; DIF_REMOVE without parameters removes the node globally, as asked here.
        if (GetLastError() != ERROR_SUCCESS)
            corun::throw_last_error();
    }
    if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &node))
        corun::throw_last_error();
    SP_DEVINSTALL_PARAMS_W install{};
    install.cbSize = sizeof(install);
    if (!SetupDiGetDeviceInstallParamsW(set, &node, &install)) {
        // Some systems (Wine) drop the node from the set with its removal: a node that is
        // gone needs no restart.
        if (GetLastError() == ERROR_NO_SUCH_DEVINST)
            return false;
        corun::throw_last_error();
    }
    return (install.Flags & (DI_NEEDRESTART | DI_NEEDREBOOT)) != 0;
}

bool RemoveDeviceNode(const std::wstring& devicePath)
{
    unique_devinfo list(SetupDiCreateDeviceInfoList(nullptr, nullptr));
    if (!list)
        corun::throw_last_error();

    interface_entry entry(list.get());
    SP_DEVINFO_DATA node{};
    node.cbSize = sizeof(node);
    if (SetupDiOpenDeviceInterfaceW(list.get(), devicePath.c_str(), 0, entry.data())) {
        entry.opened();
        if (!SetupDiEnumDeviceInfo(list.get(), 0, &node))
            corun::throw_last_error();
        return RemoveDeviceNodeOfSet(list.get(), node);
    }

    const DWORD openError = GetLastError();
    unique_devinfo present(SetupDiGetClassDevsExW(&port_interface_class, nullptr, nullptr,
                                                  DIGCF_PRESENT | DIGCF_DEVICEINTERFACE, nullptr, nullptr, nullptr));
    if (!present)
        corun::throw_win32_error(openError != 0 ? openError : GetLastError());
    interface_entry found(present.get());
    if (!find_by_enumeration(present.get(), devicePath, found, node))
        corun::throw_win32_error(openError != 0 ? openError : ERROR_NOT_FOUND);
    found.opened();
    // The node is removed through a list of its own, not through the list of interfaces
    // that was searched: removal within that list leaves the interface half registered on
    // some systems (Wine), and the next node made with the same ID then never starts.
    wchar_t instanceId[200] = {};
    if (GetDeviceId(node.DevInst, instanceId, 200, 0) != CR_SUCCESS)
        corun::throw_win32_error(ERROR_NOT_FOUND);
    return RemoveDeviceNodeById(instanceId);
}

bool RemoveDeviceNodeById(const std::wstring& instanceId)
{
    unique_devinfo list(SetupDiCreateDeviceInfoList(nullptr, nullptr));
    if (!list)
        corun::throw_last_error();
    SP_DEVINFO_DATA node{};
    node.cbSize = sizeof(node);
    if (!SetupDiOpenDeviceInfoW(list.get(), instanceId.c_str(), nullptr, 0, &node))
        corun::throw_last_error();
    return RemoveDeviceNodeOfSet(list.get(), node);
}

} // namespace wharfcore
