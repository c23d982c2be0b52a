#pragma once
// Removal of a device node from the system.
#include <windows.h>
#include <setupapi.h>

#include <string>

namespace wharfcore {

// Removes the node behind a device-interface path of the virtual port driver. True when the
// system needs a restart to finish. Throws corun::details::hresult_error.
bool RemoveDeviceNode(const std::wstring& devicePath);

// Removes a node of a device information set (DIF_REMOVE, global scope). True when a restart
// is needed. Throws corun::details::hresult_error.
bool RemoveDeviceNodeOfSet(HDEVINFO set, SP_DEVINFO_DATA& node);

// Removes the node with this device instance ID. True when a restart is needed.
bool RemoveDeviceNodeById(const std::wstring& instanceId);

} // namespace wharfcore
