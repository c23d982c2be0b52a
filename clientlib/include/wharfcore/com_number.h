#pragma once
// The COM number of a port name such as "COM7".
#include <cstdint>
#include <string_view>

namespace wharfcore {

// Highest COM number a port can have.
inline constexpr std::uint32_t max_com_number = 255;

// A name shorter than 4 characters gives 0; otherwise the decimal digits from the fourth
// character up to the first non-digit. The first three characters are not examined, so
// "COM7", "XYZ7" and "COM7a" all give 7. Accumulation stops at the first value above
// max_com_number and returns that value, so an overlong number can never wrap around into
// the valid range.
std::uint32_t ComNumberFromPortName(std::wstring_view name) noexcept;

} // namespace wharfcore
