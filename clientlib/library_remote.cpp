// The Library's questions to servers: the ports a server shares, and whether credentials are
// accepted by it.
#include <windows.h>
#include <oleauto.h>

#include <string>

#include "corun/blocking_wait.h"
#include "credential_check.h"
#include "library.h"
#include "port_description.h"
#include "remote_query.h"
#include "trellum/com/guarded_call.h"
#include "trellum/com/ref.h"
#include "trellum/js_array.h"

namespace wharfcore {
namespace {

std::wstring host_of(BSTR hostname)
{
    return hostname ? std::wstring(hostname, SysStringLen(hostname)) : std::wstring();
}

} // namespace

// Asks the server and blocks the calling thread until it has answered or failed.
std::vector<SharedPortRecord> Library::querySharedPortsBlocking(BSTR hostname)
{
    auto query = getRemoteSharedPortsAsync(host_of(hostname));
    return corun::details::wait_get(query);
}

corun::details::future<std::vector<SharedPortRecord>> STDMETHODCALLTYPE Library::getRemoteSharedPortsAsync(const std::wstring& host)
{
    return QuerySharedPorts(host, this);
}

HRESULT STDMETHODCALLTYPE Library::getRemoteSharedPorts(BSTR hostname, SAFEARRAY** ppval) noexcept
{
    if (!ppval)
        return E_POINTER;
    return Trellum::com::guarded_call([&]() -> HRESULT {
        const std::vector<SharedPortRecord> records = querySharedPortsBlocking(hostname);
        *ppval = PortDescription::MakeArray(records);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE Library::getRemoteSharedPortsJs(BSTR hostname, IDispatch** ppval) noexcept
{
    if (!ppval)
        return E_POINTER;
    return Trellum::com::guarded_call([&]() -> HRESULT {
        const std::vector<SharedPortRecord> records = querySharedPortsBlocking(hostname);

        // Held from the start, so that a failure part-way frees the array and its elements.
        auto* array = new Trellum::com::details::value<Trellum::CJsArray>();
        array->AddRef();
        auto held = Trellum::com::details::ref<IDispatch>::attach(array);
        array->elements.reserve(records.size());
        for (const SharedPortRecord& record : records) {
            VARIANT element;
            VariantInit(&element);
            element.vt = VT_DISPATCH;
            element.pdispVal = PortDescription::Make(record);
            array->elements.push_back(element); // the element keeps the object's only reference
        }
        *ppval = held.detach();
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE Library::checkCredentials(const std::wstring& host, const std::wstring& user,
                                                    const std::wstring& password, const std::wstring& domain)
{
    return Trellum::com::guarded_call([&] { return CheckCredentials(host, user, password, domain); });
}

} // namespace wharfcore
