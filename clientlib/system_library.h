#pragma once
// DLLs of the system that are not KnownDLLs on every Windows version the library runs on
// (msports.dll, cfgmgr32.dll and newdev.dll are not among Windows 7's). The library must not
// import them: a program that loads it by full path (a setup program started from a download
// folder, usually elevated) would supply them from its own folder first. They are loaded from
// the system folder and nowhere else.
#include <windows.h>
#include <cfgmgr32.h>

#include "corun/errors.h"
#include "wharfcore/unique_handles.h"

namespace wharfcore {

// Loads the named DLL of the system folder by its full path; its own imports are searched
// from the system folder first too. The path is spelled out rather than asked for with
// LOAD_LIBRARY_SEARCH_SYSTEM32, which Windows 7 without its loader update refuses. Throws
// corun::details::hresult_error.
unique_hmodule LoadSystemLibrary(const wchar_t* name);

// The named entry point of a loaded module as a function pointer of type F; throws the loader's
// error when the module has none.
template <class F> F EntryPoint(HMODULE module, const char* name)
{
    const auto found = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (!found)
        corun::throw_last_error();
    return found;
}

// CM_Get_Device_IDW of the system folder's cfgmgr32.dll. CR_FAILURE when that DLL or the
// function cannot be loaded.
CONFIGRET GetDeviceId(DEVINST node, wchar_t* buffer, ULONG length, ULONG flags) noexcept;

} // namespace wharfcore
