#include "wl/store.h"

#include <stdexcept>

namespace wl::wli {

void throw_store_closed()
{
    throw std::logic_error("Can't add a message handler after the loop started.\n"
                           "This would be an unsafe operation, therefore it's explicitly forbidden.");
}

} // namespace wl::wli
