#pragma once
// The BSTRs the library hands out: an empty string gives a null BSTR, a length that does not
// fit a signed 32-bit count E_INVALIDARG, a failed allocation E_OUTOFMEMORY.
#include <windows.h>
#include <oleauto.h>

#include <climits>
#include <string_view>

namespace wharfcore {

inline HRESULT to_bstr(std::wstring_view text, BSTR* out) noexcept
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (text.empty())
        return S_OK;
    if (text.size() > static_cast<std::size_t>(INT_MAX / 2))
        return E_INVALIDARG;
    BSTR made = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!made)
        return E_OUTOFMEMORY;
    *out = made;
    return S_OK;
}

} // namespace wharfcore
