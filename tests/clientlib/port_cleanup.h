#pragma once
// Removal of every virtual port node a test may have left, through the library's own removal.
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include <string>
#include <vector>

#include "corun/errors.h"
#include "remove_device_node.h"
#include "support/device_nodes.h"

namespace wharf_test {

// Returns the HRESULT of the first removal that failed, or S_OK.
inline long remove_all_virtual_ports()
{
    std::vector<std::wstring> ids;
    {
        device_info_list all(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
        SP_DEVINFO_DATA node{sizeof(node)};
        for (DWORD i = 0; SetupDiEnumDeviceInfo(all.get(), i, &node); ++i) {
            for (const auto& id : hardware_ids(all.get(), node)) {
                if (_wcsicmp(id.c_str(), virtual_port_hardware_id) != 0)
                    continue;
                wchar_t instance[200] = {};
                if (CM_Get_Device_IDW(node.DevInst, instance, 200, 0) == CR_SUCCESS)
                    ids.emplace_back(instance);
            }
            node.cbSize = sizeof(node);
        }
    }
    long first = S_OK;
    for (const auto& id : ids) {
        try {
            wharfcore::RemoveDeviceNodeById(id);
        } catch (const corun::details::hresult_error& e) {
            if (first == S_OK)
                first = e.code();
        }
    }
    return first;
}

} // namespace wharf_test
