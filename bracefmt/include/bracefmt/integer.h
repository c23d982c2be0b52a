#pragma once
#include <cstdint>
#include <string_view>

#include "bracefmt/item.h"
#include "bracefmt/scratch.h"

namespace bracefmt {
namespace details {

// Converts a magnitude in the item's base into the scratch buffer. sign is L'-', L'+' or 0.
// bits (32 or 64) gives the digit count of full-width hexadecimal. The view stays valid until
// the next use of the scratch buffer.
std::wstring_view format_integer(std::uint64_t magnitude, wchar_t sign, unsigned bits,
                                 const item& options, scratch_buffer& scratch);

// The global locale's thousands separator at the first call, kept for the process.
wchar_t thousands_separator();

} // namespace details
} // namespace bracefmt
