#pragma once
#include <cstddef>
#include <string>
#include <string_view>

#include "bracefmt/item.h"
#include "bracefmt/writers.h"

namespace bracefmt {
namespace details {

// Parses format one item at a time and writes each as soon as it is parsed, so that no list
// of items is built. On any exception, a malformed item included, out is back at its length
// before the call.
void run_format(std::wstring_view format, const argument* args, std::size_t count, std::wstring& out);

} // namespace details
} // namespace bracefmt
