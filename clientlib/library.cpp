#include "library.h"

#include "library_module.h"
#include "registrar.h"

namespace wharfcore {

namespace {
constexpr UINT class_script = 104;
}

HRESULT Library::CreateInstance(REFIID iid, void** out, IUnknown* outer) noexcept
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    auto* object = new (std::nothrow) Trellum::com::details::value<Library>();
    if (!object)
        return E_OUTOFMEMORY;
    const HRESULT hr = object->QueryInterface(iid, out);
    if (FAILED(hr))
        object->destroy();
    return hr;
}

HRESULT Library::UpdateRegistry(bool register_it) noexcept
{
    return run_registry_script(CLibraryModule::instance().module(), class_script, register_it);
}

HRESULT STDMETHODCALLTYPE Library::createPort(VARIANT, IRemotePortDevice**) noexcept { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE Library::addListener(IRemotePortLibraryListener*) noexcept { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE Library::removeListener(IRemotePortLibraryListener*) noexcept { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE Library::getPorts(SAFEARRAY**) noexcept { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE Library::getPortsJs(IDispatch**) noexcept { return E_NOTIMPL; }

std::vector<Trellum::com::details::ref<IRemotePortDevice>> STDMETHODCALLTYPE Library::getDevices()
{
    return {};
}

} // namespace wharfcore
