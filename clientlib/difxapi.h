#pragma once
// The Driver Install Frameworks entry points the installer calls. mingw ships no header for
// them; these declarations follow the public documentation of DIFxAPI.
#include <windows.h>

namespace wharfcore {
namespace difx {

struct INSTALLERINFO_W {
    PWSTR pApplicationId;
    PWSTR pDisplayName;
    PWSTR pProductName;
    PWSTR pMfgName;
};

inline constexpr DWORD DRIVER_PACKAGE_REPAIR = 0x00000001;
inline constexpr DWORD ERROR_DRIVER_PACKAGE_NOT_IN_STORE = 0xE0000302;
inline constexpr DWORD ERROR_NO_SUCH_DEVINST = 0xE000020B;

using DriverPackagePreinstallW_t = DWORD(WINAPI*)(PCWSTR inf_path, DWORD flags);
using DriverPackageInstallW_t = DWORD(WINAPI*)(PCWSTR inf_path, DWORD flags, const INSTALLERINFO_W* info, BOOL* need_reboot);
using DriverPackageUninstallW_t = DWORD(WINAPI*)(PCWSTR inf_path, DWORD flags, const INSTALLERINFO_W* info, BOOL* need_reboot);

} // namespace difx
} // namespace wharfcore
