#pragma once
// The COM number that a caller of createPort asks for.
#include <windows.h>
#include <oleauto.h>

#include <cstdint>

namespace wharfcore {

// 0 when the argument is missing (VT_EMPTY, or VT_ERROR as scripts pass an omitted optional
// argument): the caller then picks a free number. A variant by reference is followed first.
// A string gives its number by the COM number rule (1 to 3 characters give an invalid 0);
// other types are converted to a 32-bit integer (invalid 0 when they cannot be, or when the
// variant cannot be copied). An empty string throws E_INVALIDARG; a copy that runs out of
// memory throws E_OUTOFMEMORY. The number is not range-checked here.
struct requested_port_number {
    bool choose_free = false;
    std::uint32_t number = 0;
};

requested_port_number PortNumberFromArgument(const VARIANT& argument);

} // namespace wharfcore
