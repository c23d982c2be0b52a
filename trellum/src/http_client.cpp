// The HTTP client object: reference count, session and URLs. Its requests are in
// http_json.cpp and http_download.cpp, the WinINet request machine in http_request.cpp.
#include "trellum/http_client.h"

#include <utility>

#include "corun/errors.h"
#include "http_request.h"

namespace Trellum {
namespace details {

namespace {

constexpr wchar_t user_agent[] = L"Velmor Software Trellum Library win7-compatible HTTP client. Version 1.0";

} // namespace

HttpClient::~HttpClient()
{
    close();
}

HRESULT STDMETHODCALLTYPE HttpClient::QueryInterface(REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IHttpClient)) {
        *out = static_cast<IHttpClient*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE HttpClient::AddRef()
{
    return references_.fetch_add(1, std::memory_order_relaxed) + 1;
}

ULONG STDMETHODCALLTYPE HttpClient::Release()
{
    const ULONG count = references_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (count == 0)
        delete this;
    return count;
}

// The callback stays set: requests that a cancellation ended may still have handles under the
// session, whose last callbacks free what WinINet held of them.
void HttpClient::close() noexcept
{
    base_url_.clear();
    if (session_)
        InternetCloseHandle(std::exchange(session_, nullptr));
}

bool HttpClient::open(const std::wstring& base_url)
{
    if (&base_url != &base_url_)
        base_url_ = base_url;
    HINTERNET session = InternetOpenW(user_agent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, INTERNET_FLAG_ASYNC);
    if (session_)
        InternetCloseHandle(session_);
    session_ = session;
    if (!session_)
        return false;
    InternetSetStatusCallbackW(session_, &http_request::status_callback);
    return true;
}

std::wstring HttpClient::canonicalize_url(const std::wstring& path) const
{
    const std::wstring joined = base_url_ + path;
    std::wstring buffer(4096, L'\0');
    DWORD length = static_cast<DWORD>(buffer.size());
    if (!InternetCanonicalizeUrlW(joined.c_str(), buffer.data(), &length, ICU_BROWSER_MODE))
        return {};
    buffer.resize(length);
    return buffer;
}

corun::details::future<void> HttpClient::extra_request(std::wstring, std::string, std::string)
{
    corun::throw_error(E_NOTIMPL);
    co_return;
}

} // namespace details
} // namespace Trellum
