#include "system_library.h"

#include <string>

#include "corun/errors.h"

namespace wharfcore {
namespace {

using get_device_id_fn = decltype(&CM_Get_Device_IDW);

// cfgmgr32.dll serves every device scan, so it is loaded once. The reference is kept for the
// life of the process: freeing a DLL while this library is being unloaded (from its static
// destructors, under the loader lock) is not allowed. A failed load throws and leaves the
// static unset, so that the next call tries again.
get_device_id_fn system_get_device_id()
{
    static const get_device_id_fn function = [] {
        unique_hmodule cfgmgr = LoadSystemLibrary(L"cfgmgr32.dll");
        const auto found = EntryPoint<get_device_id_fn>(cfgmgr.get(), "CM_Get_Device_IDW");
        cfgmgr.release();
        return found;
    }();
    return function;
}

} // namespace

unique_hmodule LoadSystemLibrary(const wchar_t* name)
{
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0)
        corun::throw_last_error();
    if (length >= MAX_PATH)
        corun::throw_win32_error(ERROR_INSUFFICIENT_BUFFER);
    const std::wstring path = std::wstring(folder, length) + L"\\" + name;
    unique_hmodule module(LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!module)
        corun::throw_last_error();
    return module;
}

CONFIGRET GetDeviceId(DEVINST node, wchar_t* buffer, ULONG length, ULONG flags) noexcept
{
    try {
        return system_get_device_id()(node, buffer, length, flags);
    } catch (...) {
        return CR_FAILURE;
    }
}

} // namespace wharfcore
