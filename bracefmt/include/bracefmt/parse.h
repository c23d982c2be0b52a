#pragma once
#include <string_view>

#include "bracefmt/item.h"

namespace bracefmt {
namespace details {

// Splits a format string into literal runs and brace items. Raises
// bad_extended_format_string for a malformed item; never reads past the end of the string.
// The items point into the string, which must outlive them.
void parse_format_string(std::wstring_view format, parsed_format& parsed);

} // namespace details
} // namespace bracefmt
