#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "bracefmt/item.h"
#include "bracefmt/output.h"

namespace bracefmt {
namespace details {

// How many of pad fill characters go before the text for an alignment (the extra one of an
// odd centred padding goes after it).
inline std::size_t leading_fill(std::size_t pad, std::uint16_t align) noexcept
{
    return align == align_right ? pad : align == align_centre ? pad / 2 : 0;
}

// Appends converted text padded to the item's minimum width, or cut to its maximum width
// (with "…" when the item asks for an ellipsis).
void write_aligned(std::wstring_view text, const item& options, output& out);

// Appends a literal run; with doubled set, each "{{" becomes one "{".
void append_literal(const wchar_t* begin, const wchar_t* end, bool doubled, output& out);

} // namespace details
} // namespace bracefmt
