#pragma once
// Choice of the lowest free COM number.
#include <cstdint>
#include <vector>

#include "wharfcore/enum_com_ports.h"

namespace wharfcore {

// The COM numbers of the list, in list order (so ascending, duplicates kept).
std::vector<std::uint32_t> CollectUsedComNumbers(const std::vector<ComPortRecord>& ports);

// The lowest number of at least 1 that the ascending list does not hold; duplicates count
// once. All of 1 to 255 in use gives 256, which the range check refuses.
std::uint32_t FindFreeComNumber(const std::vector<std::uint32_t>& used) noexcept;

// The same over the COM ports present now.
std::uint32_t FindFreeComNumber();

} // namespace wharfcore
