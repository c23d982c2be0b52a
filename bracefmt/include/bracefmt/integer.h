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

// Number of decimal digits of v (1 for 0).
inline unsigned decimal_length(std::uint64_t v) noexcept
{
    unsigned n = 1;
    for (; v >= 10000; v /= 10000)
        n += 4;
    return n + (v >= 10) + (v >= 100) + (v >= 1000);
}

// Writes the decimal digits of v so that they end just before last; returns the first.
inline wchar_t* write_decimal(std::uint64_t v, wchar_t* last) noexcept
{
    if (v <= 0xFFFFFFFFu) {
        // 32-bit division is much cheaper than 64-bit and covers nearly every argument.
        auto small = static_cast<std::uint32_t>(v);
        do {
            *--last = static_cast<wchar_t>(L'0' + small % 10);
            small /= 10;
        } while (small);
        return last;
    }
    do {
        *--last = static_cast<wchar_t>(L'0' + v % 10);
        v /= 10;
    } while (v);
    return last;
}

} // namespace details
} // namespace bracefmt
