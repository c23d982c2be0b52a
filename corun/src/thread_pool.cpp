#include "corun/thread_pool.h"

namespace corun {
namespace details {
namespace {

TP_CALLBACK_ENVIRON make_module_environment() noexcept
{
    TP_CALLBACK_ENVIRON environment;
    InitializeThreadpoolEnvironment(&environment);
    HMODULE self = nullptr;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCWSTR>(&make_module_environment), &self) &&
        self != GetModuleHandleW(nullptr))
        SetThreadpoolCallbackLibrary(&environment, self);
    return environment;
}

} // namespace

PTP_CALLBACK_ENVIRON module_callback_environment() noexcept
{
    // Made once and only read afterwards.
    static TP_CALLBACK_ENVIRON environment = make_module_environment();
    return &environment;
}

} // namespace details
} // namespace corun
