#include "registrar.h"

#include <objbase.h>

#include <new>
#include <string>

#include "library_module.h"

namespace wharfcore {
namespace {

// COM for the duration of a registration, when the caller has not set it up.
class com_scope {
public:
    com_scope() noexcept : hr_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~com_scope()
    {
        if (SUCCEEDED(hr_))
            CoUninitialize();
    }

private:
    HRESULT hr_;
};

HRESULT last_error() noexcept
{
    const DWORD code = GetLastError();
    return code ? HRESULT_FROM_WIN32(code) : E_FAIL;
}

// The script text of a REGISTRY resource (ANSI text) as a wide string.
HRESULT load_script(HMODULE module, UINT id, std::wstring& script) noexcept
{
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), L"REGISTRY");
    if (!found)
        return last_error();
    HGLOBAL loaded = LoadResource(module, found);
    const DWORD size = SizeofResource(module, found);
    const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (!bytes)
        return last_error();
    const int length = MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(size), nullptr, 0);
    if (length <= 0 && size > 0)
        return last_error();
    try {
        script.assign(static_cast<std::size_t>(length), L'\0');
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(size), script.data(), length);
    return S_OK;
}

// A text for a quoted value of the registrar's script: a single quote is written twice (a
// folder such as C:\Users\O'Neil would otherwise end the value early).
std::wstring quoted_script_text(const wchar_t* text)
{
    std::wstring quoted;
    for (const wchar_t* c = text; *c; ++c) {
        quoted += *c;
        if (*c == L'\'')
            quoted += L'\'';
    }
    return quoted;
}

} // namespace

HRESULT run_registry_script(HMODULE module, UINT id, bool register_it) noexcept
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    if (length == 0)
        return last_error();
    if (length >= MAX_PATH)
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);

    std::wstring script;
    if (HRESULT hr = load_script(module, id, script); FAILED(hr))
        return hr;

    com_scope com;
    IRegistrar* registrar = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_Registrar, nullptr, CLSCTX_INPROC_SERVER, IID_IRegistrar,
                                  reinterpret_cast<void**>(&registrar));
    if (FAILED(hr))
        return hr;
    try {
        hr = registrar->AddReplacement(L"MODULE", quoted_script_text(path).c_str());
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    }
    if (SUCCEEDED(hr))
        hr = CLibraryModule::instance().AddCommonRGSReplacements(registrar);
    if (SUCCEEDED(hr))
        hr = register_it ? registrar->StringRegister(script.c_str()) : registrar->StringUnregister(script.c_str());
    registrar->Release();
    return hr;
}

} // namespace wharfcore
