#pragma once
#include <string>
#include <string_view>

#include "bracefmt/item.h"

namespace bracefmt {
namespace details {

// Appends converted text padded to the item's minimum width, or cut to its maximum width
// (with "…" when the item asks for an ellipsis).
void write_aligned(std::wstring_view text, const item& options, std::wstring& out);

// Appends a literal run; with doubled set, each "{{" becomes one "{".
void append_literal(const wchar_t* begin, const wchar_t* end, bool doubled, std::wstring& out);

} // namespace details
} // namespace bracefmt
