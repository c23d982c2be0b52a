// AutoInstallEx: installs or removes the driver package for a setup program, through the
// DIFxAPI library that ships beside this library.
#include <string>

#include <windows.h>

#include "difxapi.h"
#include "wharfcore/unique_handles.h"

namespace {

using namespace wharfcore::difx;

constexpr DWORD path_capacity = MAX_PATH;

// The record DIFxAPI keeps with the package so that removal finds what installation made.
const INSTALLERINFO_W installer_info = {
    const_cast<PWSTR>(L"Velmor Software.Tidewell.{A17A18FB-F1A3-4E67-9CC0-D07AB5E0269F}"),
    const_cast<PWSTR>(L"Velmor Software Tidewell Tidewell Driver"),
    const_cast<PWSTR>(L"Velmor Software Tidewell"),
    const_cast<PWSTR>(L"Velmor Software Ltd."),
};

const wchar_t* const driver_files[] = {
    L"drivers\\umdf\\wharfdrv32.dll",
    L"drivers\\umdf\\wharfdrv64.dll",
    L"drivers\\umdf\\wharfdrv.dll",
};

HRESULT last_error_hresult()
{
    const DWORD code = GetLastError();
    return code == 0 ? E_FAIL : HRESULT_FROM_WIN32(code);
}

// The full path of this very module (whatever its file is called), or a failure when it
// does not fit the buffer.
HRESULT own_module_path(std::wstring& path)
{
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&own_module_path), &self))
        return last_error_hresult();
    wchar_t buffer[path_capacity];
    const DWORD length = GetModuleFileNameW(self, buffer, path_capacity);
    if (length == 0)
        return last_error_hresult();
    if (length >= path_capacity)
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    path.assign(buffer, length);
    return S_OK;
}

HRESULT from_difx_code(DWORD code, BOOL need_reboot)
{
    if (code == 0 || code == ERROR_NO_SUCH_DEVINST)
        return need_reboot ? S_FALSE : S_OK;
    if (static_cast<LONG>(code) < 0)
        return static_cast<HRESULT>(code);
    return HRESULT_FROM_WIN32(code);
}

void delete_driver_files()
{
    wchar_t system_dir[path_capacity];
    const UINT length = GetSystemDirectoryW(system_dir, path_capacity);
    if (length == 0 || length >= path_capacity)
        return;
    for (const wchar_t* file : driver_files) {
        std::wstring path(system_dir, length);
        path += L'\\';
        path += file;
        DeleteFileW(path.c_str());
    }
}

HRESULT install_or_remove(DWORD mode)
{
    std::wstring module_path;
    if (HRESULT hr = own_module_path(module_path); FAILED(hr))
        return hr;

    const auto last = module_path.find_last_of(L'\\');
    const std::wstring library_folder = last == std::wstring::npos ? std::wstring() : module_path.substr(0, last + 1);
    std::wstring package_folder;
    if (last != std::wstring::npos && last > 0) {
        const auto before = module_path.find_last_of(L'\\', last - 1);
        if (before != std::wstring::npos)
            package_folder = module_path.substr(0, before + 1);
    }
    const std::wstring inf_path = package_folder + L"wharfdrv.inf";
    const std::wstring difx_path = library_folder + L"DIFxAPI.dll";

    // The copy beside this library wins over any other DIFxAPI on the search path.
    const wharfcore::unique_hmodule difx(LoadLibraryExW(difx_path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!difx.get())
        return last_error_hresult();

    auto install = reinterpret_cast<DriverPackageInstallW_t>(reinterpret_cast<void*>(GetProcAddress(difx.get(), "DriverPackageInstallW")));
    auto preinstall = reinterpret_cast<DriverPackagePreinstallW_t>(reinterpret_cast<void*>(GetProcAddress(difx.get(), "DriverPackagePreinstallW")));
    auto uninstall = reinterpret_cast<DriverPackageUninstallW_t>(reinterpret_cast<void*>(GetProcAddress(difx.get(), "DriverPackageUninstallW")));
    const bool installs = mode == 0 || mode == 2;
    if (!install || !uninstall || (installs && !preinstall))
        return E_POINTER;

    BOOL need_reboot = FALSE;
    DWORD code;
    if (installs) {
        code = preinstall(inf_path.c_str(), DRIVER_PACKAGE_REPAIR);
    } else {
        code = uninstall(inf_path.c_str(), 0, &installer_info, &need_reboot);
        if (code == ERROR_DRIVER_PACKAGE_NOT_IN_STORE)
            code = 0;
        if (code == 0)
            delete_driver_files();
    }
    return from_difx_code(code, need_reboot);
}

} // namespace

extern "C" HRESULT WINAPI AutoInstallEx(void* /*unused*/, DWORD mode)
{
    if (mode == 1)
        return S_OK;
    try {
        return install_or_remove(mode);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}
