#pragma once
// The class factory of a module: one factory per DllGetClassObject call, bound to the CLSID it
// was asked for, creating through the module's class table. A live factory keeps the module
// loaded, as does each LockServer(TRUE) until its LockServer(FALSE).
#include <windows.h>
#include <unknwn.h>

#include "trellum/com/class_table.h"
#include "trellum/com/module_count.h"
#include "trellum/com/object.h"
#include "trellum/com/value.h"

namespace Trellum {
namespace com {
namespace details {

class Factory : public object<Factory, IClassFactory>, public increments_module_count {
public:
    explicit Factory(const CLSID& clsid) noexcept : clsid_(clsid) {}

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) noexcept override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) noexcept override;

    // DllGetClassObject: a new factory for any CLSID, asked for iid.
    static HRESULT get_class_object(REFCLSID clsid, REFIID iid, void** out) noexcept;

private:
    CLSID clsid_;
};

} // namespace details
} // namespace com
} // namespace Trellum
