// The module object, the class table and the COM exports of wharfcore.
#include "library_module.h"

#include <oleauto.h>

#include <span>

#include "library.h"
#include "registrar.h"
#include "trellum/com/class_table.h"
#include "trellum/com/factory.h"
#include "wharfcore/wharfcore.h"

namespace wharfcore {

CLibraryModule& CLibraryModule::instance() noexcept
{
    static CLibraryModule module;
    return module;
}

CLibraryModule::~CLibraryModule()
{
    // The table belongs to the process; it is released only when the module still can.
    if (IGlobalInterfaceTable* git = git_.exchange(nullptr))
        git->Release();
}

HRESULT CLibraryModule::GetGITPtr(IGlobalInterfaceTable** out) noexcept
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    IGlobalInterfaceTable* git = git_.load(std::memory_order_acquire);
    if (!git) {
        const HRESULT hr = CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                            IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&git));
        if (FAILED(hr))
            return hr;
        IGlobalInterfaceTable* expected = nullptr;
        if (!git_.compare_exchange_strong(expected, git)) {
            git->Release();
            git = expected;
        }
    }
    *out = git;
    return S_OK;
}

HRESULT CLibraryModule::AddCommonRGSReplacements(IRegistrar* registrar) noexcept
{
    return registrar->AddReplacement(L"APPID", appid);
}

namespace {

constexpr UINT appid_script = 102;

// Sets the calling thread's locale for one registration and restores it on every path.
class thread_locale_scope {
public:
    thread_locale_scope() noexcept : saved_(GetThreadLocale()) { SetThreadLocale(LOCALE_SYSTEM_DEFAULT); }
    ~thread_locale_scope() { SetThreadLocale(saved_); }

private:
    LCID saved_;
};

HRESULT module_path(wchar_t (&path)[MAX_PATH]) noexcept
{
    const DWORD length = GetModuleFileNameW(CLibraryModule::instance().module(), path, MAX_PATH);
    if (length == 0)
        return HRESULT_FROM_WIN32(GetLastError());
    if (length >= MAX_PATH)
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    return S_OK;
}

// The type library held as resource TYPELIB 1 of this module, and the module's path.
HRESULT load_own_type_library(wchar_t (&path)[MAX_PATH], ITypeLib** library) noexcept
{
    if (HRESULT hr = module_path(path); FAILED(hr))
        return hr;
    return LoadTypeLibEx(path, REGKIND_NONE, library);
}

HRESULT register_type_library() noexcept
{
    wchar_t path[MAX_PATH];
    ITypeLib* library = nullptr;
    HRESULT hr = load_own_type_library(path, &library);
    if (FAILED(hr))
        return hr;
    hr = RegisterTypeLib(library, path, nullptr);
    library->Release();
    return hr;
}

HRESULT unregister_type_library() noexcept
{
    wchar_t path[MAX_PATH];
    ITypeLib* library = nullptr;
    HRESULT hr = load_own_type_library(path, &library);
    if (FAILED(hr))
        return hr;
    TLIBATTR* attributes = nullptr;
    hr = library->GetLibAttr(&attributes);
    if (SUCCEEDED(hr)) {
        hr = UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum,
                               attributes->lcid, attributes->syskind);
        library->ReleaseTLibAttr(attributes);
    }
    library->Release();
    return hr;
}

const Trellum::com::class_entry class_table[] = {
    {&CLSID_RemotePortLibrary, &Library::CreateInstance, &Library::UpdateRegistry},
};

} // namespace
} // namespace wharfcore

namespace Trellum::com {

std::span<const class_entry> module_class_table() noexcept
{
    return wharfcore::class_table;
}

long module_lock() noexcept
{
    return wharfcore::CLibraryModule::instance().Lock();
}

long module_unlock() noexcept
{
    return wharfcore::CLibraryModule::instance().Unlock();
}

} // namespace Trellum::com

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    // Thread notifications stay on: the thread runtime linked into this DLL frees its
    // per-thread records when a thread detaches (and the loader refuses to turn them off for
    // a DLL with thread-local storage anyway).
    if (reason == DLL_PROCESS_ATTACH)
        wharfcore::CLibraryModule::instance().set_module(instance);
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out)
{
    return Trellum::com::details::Factory::get_class_object(clsid, iid, out);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return wharfcore::CLibraryModule::instance().GetLockCount() == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer()
{
    using namespace wharfcore;
    thread_locale_scope locale;
    HRESULT hr = run_registry_script(CLibraryModule::instance().module(), appid_script, true);
    if (FAILED(hr))
        return hr;
    for (const auto& entry : class_table) {
        hr = entry.update_registry(true);
        if (FAILED(hr))
            return hr;
    }
    return register_type_library();
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    using namespace wharfcore;
    thread_locale_scope locale;
    for (const auto& entry : class_table) {
        const HRESULT hr = entry.update_registry(false);
        if (FAILED(hr))
            return hr;
    }
    if (const HRESULT hr = unregister_type_library(); FAILED(hr))
        return hr;
    return run_registry_script(CLibraryModule::instance().module(), appid_script, false);
}
