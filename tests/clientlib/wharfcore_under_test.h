#pragma once
// The built wharfcore.dll as the tests load and register it.
#include <windows.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

// A path of the build machine as Wine sees it.
inline std::wstring windows_path(const char* unix_path)
{
    std::wstring path = L"Z:";
    for (const char* p = unix_path; *p; ++p)
        path += *p == '/' ? L'\\' : static_cast<wchar_t>(*p);
    return path;
}

inline std::wstring wharfcore_path()
{
    return windows_path(WHARFCORE_DLL);
}

// A test that ctest ends at its time-out keeps no chance to unregister the library: what it
// left is removed (by the library's own unregistration) before the next registration, and
// said, so that no case starts from a registration it did not make.
inline void remove_leftover_registration()
{
    const wchar_t* const keys[] = {
        L"CLSID\\{C18B7B8C-07A8-4CA8-B19F-91D79F8F099F}",
        L"AppID\\{6731D341-22E1-4EE5-8C98-4E1727182329}",
        L"AppID\\wharfcore.dll",
        L"wharfcore.RemotePortLibrary",
        L"wharfcore.RemotePortLibrary.1",
        L"TypeLib\\{59C653C1-B2D9-4CEA-A275-12413F797589}",
        L"Interface\\{F8A575B9-F555-4E91-8DC3-8FD615DDFE28}",
    };
    bool left = false;
    for (const wchar_t* path : keys) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, KEY_READ, &key) == ERROR_SUCCESS) {
            RegCloseKey(key);
            left = true;
        }
    }
    if (!left)
        return;
    std::printf("note: removing the registration of wharfcore that an earlier test left behind\n");
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (HMODULE module = LoadLibraryW(wharfcore_path().c_str())) {
        auto unreg = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(GetProcAddress(module, "DllUnregisterServer")));
        if (unreg)
            unreg();
        FreeLibrary(module);
    }
    if (SUCCEEDED(com))
        CoUninitialize();
}

// Registers the library for the life of the object and keeps it loaded meanwhile, or, with
// loaded::by_com_only, leaves loading and unloading to COM as for any client.
class registered_wharfcore {
public:
    enum class loaded { by_this_object, by_com_only };

    explicit registered_wharfcore(loaded how = loaded::by_this_object)
    {
        remove_leftover_registration();
        module_ = LoadLibraryW(wharfcore_path().c_str());
        if (!module_)
            return;
        auto reg = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(GetProcAddress(module_, "DllRegisterServer")));
        result_ = reg ? reg() : E_FAIL;
        if (how == loaded::by_com_only) {
            FreeLibrary(module_);
            module_ = nullptr;
            unload_after_unregistering_ = true;
        }
    }
    ~registered_wharfcore()
    {
        if (unload_after_unregistering_)
            module_ = LoadLibraryW(wharfcore_path().c_str());
        if (!module_)
            return;
        auto unreg = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(GetProcAddress(module_, "DllUnregisterServer")));
        if (unreg)
            unreg();
        FreeLibrary(module_);
    }
    HRESULT result() const { return result_; }
    HMODULE module() const { return module_; }

    template <class F> F* entry(const char* name) const
    {
        return reinterpret_cast<F*>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    }

private:
    HMODULE module_ = nullptr;
    HRESULT result_ = E_FAIL;
    bool unload_after_unregistering_ = false;
};

class com_apartment {
public:
    com_apartment() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    ~com_apartment() { CoUninitialize(); }
};
