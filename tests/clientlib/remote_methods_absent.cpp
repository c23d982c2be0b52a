// This test program covers the device side of Library only: the methods that talk to remote
// hosts live in the module and answer E_NOTIMPL here.
#include "library.h"

namespace wharfcore {

HRESULT Library::getRemoteSharedPorts(BSTR, SAFEARRAY** ppval) noexcept
{
    if (ppval)
        *ppval = nullptr;
    return E_NOTIMPL;
}

HRESULT Library::getRemoteSharedPortsJs(BSTR, IDispatch** ppval) noexcept
{
    if (ppval)
        *ppval = nullptr;
    return E_NOTIMPL;
}

corun::details::future<std::vector<SharedPortRecord>> Library::getRemoteSharedPortsAsync(const std::wstring&)
{
    corun::throw_error(E_NOTIMPL);
}

HRESULT Library::checkCredentials(const std::wstring&, const std::wstring&, const std::wstring&, const std::wstring&)
{
    return E_NOTIMPL;
}

} // namespace wharfcore
