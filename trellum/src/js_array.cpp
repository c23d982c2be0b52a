#include "trellum/js_array.h"

#include <cstdint>
#include <locale>

namespace Trellum {

CJsArray::~CJsArray()
{
    for (VARIANT& element : elements)
        VariantClear(&element);
}

DISPID CJsArray::NameToDispId(std::wstring_view name)
{
    if (name.empty())
        return 0;
    static constexpr std::wstring_view length = L"length";
    if (name.size() == length.size()) {
        const auto& ctype = std::use_facet<std::ctype<wchar_t>>(std::locale());
        bool same = true;
        for (std::size_t i = 0; i < name.size() && same; ++i)
            same = ctype.tolower(name[i]) == length[i];
        if (same)
            return length_dispid;
    }
    std::uint32_t value = 0;
    for (wchar_t c : name) {
        if (c < L'0' || c > L'9')
            return -1;
        value = value * 10 + static_cast<std::uint32_t>(c - L'0');
    }
    if (value == 0xFFFFFFFFu)
        return -1;
    return static_cast<DISPID>(value);
}

HRESULT STDMETHODCALLTYPE CJsArray::GetTypeInfoCount(UINT* count) noexcept
{
    if (!count)
        return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CJsArray::GetTypeInfo(UINT, LCID, ITypeInfo**) noexcept
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CJsArray::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) noexcept
{
    if (count > 0 && (!names || !ids))
        return E_POINTER;
    HRESULT hr = S_OK;
    try {
        for (UINT i = 0; i < count; ++i) {
            ids[i] = NameToDispId(names[i] ? std::wstring_view(names[i]) : std::wstring_view());
            if (ids[i] == -1)
                hr = DISP_E_UNKNOWNNAME;
        }
    } catch (...) {
        return E_FAIL;
    }
    return hr;
}

HRESULT STDMETHODCALLTYPE CJsArray::Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                                           UINT*) noexcept
{
    // Nothing is written through a missing result.
    if (!result)
        return E_POINTER;
    if (member == length_dispid) {
        VariantClear(result);
        result->vt = VT_I4;
        result->lVal = static_cast<LONG>(elements.size());
        return S_OK;
    }
    if (member < 0 || static_cast<std::size_t>(member) >= elements.size())
        return DISP_E_MEMBERNOTFOUND;
    VariantClear(result);
    return VariantCopy(result, &elements[static_cast<std::size_t>(member)]);
}

} // namespace Trellum
