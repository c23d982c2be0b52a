#pragma once
// The COM ports present on this machine, of any driver.
#include <cstdint>
#include <string>
#include <vector>

namespace wharfcore {

struct ComPortRecord {
    std::wstring friendlyName; // empty when it cannot be read
    std::uint32_t comNumber = 0; // at least 1
};

// Present COM-port interfaces with a readable "PortName", sorted by COM number ascending
// (equal numbers in no particular order). Throws corun::details::hresult_error when the
// device list cannot be made.
std::vector<ComPortRecord> EnumComPorts();

} // namespace wharfcore
