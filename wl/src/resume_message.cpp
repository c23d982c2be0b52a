#include "wl/async_window.h"

namespace wl {

UINT register_resume_message() noexcept
{
    return RegisterWindowMessageW(L"VelmorWM_RESUME");
}

} // namespace wl
