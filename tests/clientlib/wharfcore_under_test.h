#pragma once
// The built wharfcore.dll as the tests load and register it.
#include <windows.h>

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

// Registers the library for the life of the object and keeps it loaded meanwhile, or, with
// loaded::by_com_only, leaves loading and unloading to COM as for any client.
class registered_wharfcore {
public:
    enum class loaded { by_this_object, by_com_only };

    explicit registered_wharfcore(loaded how = loaded::by_this_object)
    {
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
