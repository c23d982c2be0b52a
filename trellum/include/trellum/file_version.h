#pragma once
// The product version in a module's version resource.
#include <array>
#include <cstdint>

#include <windows.h>

// Least significant part first: [0] revision, [1] build, [2] minor, [3] major.
using product_version = std::array<std::uint32_t, 4>;

// The program's own product version; all zero when the module has no readable version
// resource.
product_version get_file_version();

namespace Trellum {
namespace details {

// The same for a given module (the program passes its own).
product_version module_product_version(HMODULE module);

} // namespace details
} // namespace Trellum
