#pragma once
// A list of COM objects for script callers, which cannot read a SAFEARRAY: a late-bound
// object whose "length" property gives the element count and whose decimal member names
// ("0", "1", ...) give the elements. A live array keeps its module loaded (the module supplies
// Trellum::com::module_lock and module_unlock).
#include <windows.h>
#include <oaidl.h>

#include <string_view>
#include <vector>

#include "trellum/com/module_count.h"
#include "trellum/com/object.h"
#include "trellum/com/value.h"

namespace Trellum {

class CJsArray : public com::details::object<CJsArray, IDispatch>, public com::increments_module_count {
public:
    static constexpr DISPID length_dispid = -100;

    CJsArray() noexcept = default;
    ~CJsArray();

    // The elements, filled by the creator (typically VT_DISPATCH); cleared at final release.
    std::vector<VARIANT> elements;

    // "length" in any case gives -100, "" gives 0, a decimal name its value (read into 32 bits),
    // anything else -1.
    static DISPID NameToDispId(std::wstring_view name);

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) noexcept override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** out) noexcept override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) noexcept override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO* exception, UINT* bad_argument) noexcept override;
};

} // namespace Trellum
