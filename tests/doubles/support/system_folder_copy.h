#pragma once
// Whether the copy of a double that runs is the one in the system folder: the library must
// load the DLLs it stands for from there, while another copy lies beside the test program.
#include <windows.h>

#include <cwchar>

namespace wharf_test {

// True when the module holding this address lies in the system folder.
inline bool in_system_folder(const void* address) noexcept
{
    HMODULE self = nullptr;
    wchar_t path[MAX_PATH], folder[MAX_PATH];
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &self))
        return false;
    const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
    const UINT folder_length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || folder_length == 0 || folder_length >= MAX_PATH)
        return false;
    const wchar_t* name = wcsrchr(path, L'\\');
    return name && static_cast<UINT>(name - path) == folder_length && _wcsnicmp(path, folder, folder_length) == 0;
}

} // namespace wharf_test
