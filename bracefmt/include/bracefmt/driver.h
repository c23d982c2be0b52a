#pragma once
#include <cstddef>
#include <string>

#include "bracefmt/item.h"
#include "bracefmt/writers.h"

namespace bracefmt {
namespace details {

// Walks parsed items and appends the result to out. On any exception out is back at its
// length before the call.
void run_format(const parsed_format& parsed, const argument* args, std::size_t count, std::wstring& out);

} // namespace details
} // namespace bracefmt
