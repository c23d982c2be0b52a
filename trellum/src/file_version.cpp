#include "trellum/file_version.h"

#include <winver.h>

namespace Trellum {
namespace details {

product_version module_product_version(HMODULE module)
{
    product_version version{};
    if (!module)
        return version;
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16));
    if (!found)
        return version;
    // A loaded resource needs no release: it stays mapped with its module.
    HGLOBAL loaded = LoadResource(module, found);
    if (!loaded)
        return version;
    void* block = LockResource(loaded);
    if (!block)
        return version;
    void* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block, L"\\", &fixed, &length) || !fixed || length < sizeof(VS_FIXEDFILEINFO))
        return version;
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(fixed);
    version[0] = LOWORD(info->dwProductVersionLS);
    version[1] = HIWORD(info->dwProductVersionLS);
    version[2] = LOWORD(info->dwProductVersionMS);
    version[3] = HIWORD(info->dwProductVersionMS);
    return version;
}

} // namespace details
} // namespace Trellum

product_version get_file_version()
{
    return Trellum::details::module_product_version(GetModuleHandleW(nullptr));
}
