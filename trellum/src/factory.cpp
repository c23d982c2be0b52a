#include "trellum/com/factory.h"

#include "trellum/com/guarded_call.h"
#include "trellum/com/module_count.h"

namespace Trellum {
namespace com {
namespace details {

HRESULT STDMETHODCALLTYPE Factory::CreateInstance(IUnknown* outer, REFIID iid, void** out) noexcept
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    return guarded_call([&]() -> HRESULT {
        for (const class_entry& entry : module_class_table()) {
            if (*entry.clsid == clsid_)
                return entry.create(iid, out, outer);
        }
        return REGDB_E_CLASSNOTREG;
    });
}

HRESULT STDMETHODCALLTYPE Factory::LockServer(BOOL lock) noexcept
{
    if (lock)
        module_lock();
    else
        module_unlock();
    return S_OK;
}

HRESULT Factory::get_class_object(REFCLSID clsid, REFIID iid, void** out) noexcept
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    return guarded_call([&]() -> HRESULT {
        auto* factory = new value<Factory>(clsid);
        factory->AddRef();
        const HRESULT hr = factory->QueryInterface(iid, out);
        factory->Release();
        return hr;
    });
}

} // namespace details
} // namespace com
} // namespace Trellum
