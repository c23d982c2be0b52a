#pragma once
// Creation and installation of one virtual port device node.
#include <cstdint>
#include <string>

namespace wharfcore {

// Creates a node of the virtual port driver, claims the COM number in the COM port database,
// writes "PortName" = COM<n> and installs the driver. Returns the node's device instance ID.
// Throws corun::details::hresult_error; on every failure except a needed restart the node
// and the claim are undone. A refused claim throws port_in_use_error. A needed restart keeps
// node and claim and throws HRESULT_FROM_WIN32(ERROR_SUCCESS_REBOOT_REQUIRED).
std::wstring CreatePortDevice(std::uint32_t n);

// The answer for a COM number that another port already uses.
inline constexpr long port_in_use_error = static_cast<long>(0x800702BAUL);

} // namespace wharfcore
