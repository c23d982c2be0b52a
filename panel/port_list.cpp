// The "Existing ports:" list and the Delete command.
#include "main_dialog.h"

#include <algorithm>

#include <oleauto.h>

#include "bracefmt/bracefmt.h"
#include "system_message.h"

namespace {

std::wstring device_row(IRemotePortDevice* device)
{
    UINT port = 0;
    UINT remote_port = 0;
    BSTR host = nullptr;
    device->get_port(&port);
    device->get_remotePort(&remote_port);
    device->get_remoteHost(&host);
    std::wstring host_text(host ? host : L"", host ? SysStringLen(host) : 0);
    SysFreeString(host);
    return bracefmt::format(L"COM{0} \x2194 {1}: COM{2}", static_cast<std::uint32_t>(port), host_text,
                            static_cast<std::uint32_t>(remote_port));
}

} // namespace

void main_dialog::take_devices()
{
    auto listed = library->getDevices();
    const auto contains = [](const auto& list, const auto& device) {
        return std::find(list.begin(), list.end(), device) != list.end();
    };
    // A deleted port that the library no longer lists is gone for good.
    std::erase_if(deleted_devices, [&](const auto& deleted) { return !contains(listed, deleted); });
    std::erase_if(listed, [&](const auto& device) { return contains(deleted_devices, device); });
    devices = std::move(listed);
}

void main_dialog::fill_device_list()
{
    const HWND list = port_list.control;
    SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
    for (const auto& device : devices) {
        std::wstring text = device_row(device.get());
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = 0x0FFFFFFF;
        item.pszText = text.data();
        SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    }
}

__int64 main_dialog::delete_selected_devices()
{
    const auto selected = port_list.get_selected();
    std::vector<HRESULT> failures;
    for (auto it = selected.rbegin(); it != selected.rend(); ++it) {
        if (*it < 0 || static_cast<std::size_t>(*it) >= devices.size())
            continue;
        const auto& device = devices[static_cast<std::size_t>(*it)];
        const HRESULT hr = device->deleteDevice();
        if (FAILED(hr))
            failures.push_back(hr);
        else
            deleted_devices.push_back(device);
    }
    // Every row is rebuilt from the new snapshot so that rows and devices stay in step.
    take_devices();
    SendMessageW(port_list.control, WM_SETREDRAW, FALSE, 0);
    fill_device_list();
    SendMessageW(port_list.control, WM_SETREDRAW, TRUE, 0);
    EnableWindow(delete_button, FALSE);
    refresh_server_tree();
    for (HRESULT hr : failures) {
        std::wstring text = bracefmt::format(L"Error deleting device: {0} ({1ub016xp})",
                                             format_system_message(static_cast<std::uint32_t>(hr)),
                                             static_cast<std::uint32_t>(hr));
        MessageBoxW(hwnd(), text.c_str(), L"Velmor Software Tidewell", MB_ICONERROR);
    }
    return 0;
}

__int64 main_dialog::on_list_itemchanged(const NMLISTVIEW& change)
{
    if ((change.uNewState | change.uOldState) & LVIS_SELECTED)
        EnableWindow(delete_button, SendMessageW(port_list.control, LVM_GETSELECTEDCOUNT, 0, 0) == 1);
    return 0;
}
