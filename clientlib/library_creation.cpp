// Library's entry in the module's class table: its creator and its registry script.
#include <new>

#include "library.h"
#include "library_module.h"
#include "registrar.h"
#include "trellum/com/guarded_call.h"

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
    return Trellum::com::guarded_call([&] {
        auto* object = new Trellum::com::details::value<Library>();
        const HRESULT hr = object->QueryInterface(iid, out);
        // Nobody holds a reference: the object ends as its final Release would end it.
        if (FAILED(hr))
            object->destroy();
        return hr;
    });
}

HRESULT Library::UpdateRegistry(bool register_it) noexcept
{
    return run_registry_script(CLibraryModule::instance().module(), class_script, register_it);
}

} // namespace wharfcore
