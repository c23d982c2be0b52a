#pragma once
// Creation and installation of one virtual port device node.
#include <cstdint>
#include <string>

namespace wharfcore {

// Creates a node of the virtual port driver, claims the COM number in the COM port database
// (with force), writes "PortName" = COM<n> and installs the driver. Returns the node's device
// instance ID; claimTookOver tells whether the number was already reserved (by a device that
// is not present) and the claim took that reservation over, in which case nobody may release
// it on this node's behalf. Throws corun::details::hresult_error; on every failure except a
// needed restart the node is removed and the claim, unless it took a reservation over,
// released. A claim the database refuses throws the database's error. A needed restart keeps
// node and claim and throws HRESULT_FROM_WIN32(ERROR_SUCCESS_REBOOT_REQUIRED).
std::wstring CreatePortDevice(std::uint32_t n, bool& claimTookOver);

inline std::wstring CreatePortDevice(std::uint32_t n)
{
    bool claimTookOver = false;
    return CreatePortDevice(n, claimTookOver);
}

// Undoes a node that CreatePortDevice made but that never showed up as a port: removes it and,
// once it is gone, releases its claim, unless the claim took a reservation over. A node that
// could not be removed, or whose removal waits for a restart, keeps its number claimed.
void AbandonPortDevice(const std::wstring& instanceId, std::uint32_t n, bool claimTookOver) noexcept;

// The answer for a COM number that another port already uses.
inline constexpr long port_in_use_error = static_cast<long>(0x800702BAUL);

} // namespace wharfcore
