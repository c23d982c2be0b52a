#pragma once
#include <string_view>

#include "bracefmt/item.h"

namespace bracefmt {
namespace details {

// Splits a format string into literal runs and brace items. Raises
// bad_extended_format_string for a malformed item; never reads past the end of the string.
// The items point into the string, which must outlive them.
void parse_format_string(std::wstring_view format, parsed_format& parsed);

// Parses the one item (literal run or brace item) that starts at p, before end, into it and
// returns where the next one starts; the same rules and errors as parse_format_string.
const wchar_t* parse_next(const wchar_t* p, const wchar_t* end, item& it);

} // namespace details
} // namespace bracefmt
