// Fetching a JSON document: the whole body, up to the document limit, parsed at once.
#include "trellum/http_client.h"

#include "corun/errors.h"
#include "http_request.h"
#include "trellum/com/ref.h"

namespace Trellum {
namespace details {

corun::details::future<nlohmann::json> HttpClient::get_json(std::wstring path,
                                                           corun::details::cancellation_source source)
{
    // WinINet calls back into the session until the request has ended, whoever else holds it.
    const com::details::ref<HttpClient> hold(this);
    token_holder cancel(source, (co_await corun::details::current_promise{}).cancelled);
    const std::wstring url = canonicalize_url(path);
    const std::wstring headers = L"Accept: application/json";
    std::string body;
    {
        request_scope request(cancel.token);
        co_await request->open(session_, url, headers);
        request->check_status();
        std::size_t total = 0;
        while (total < document_limit) {
            const DWORD got = co_await request->read(total, document_limit - total);
            if (got == 0)
                break;
            total += got;
        }
        // A document that does not fit is refused rather than parsed from a cut copy.
        if (total == document_limit && co_await request->read(document_limit, 1) != 0)
            corun::throw_win32_error(ERROR_INSUFFICIENT_BUFFER);
        body.assign(reinterpret_cast<const char*>(request->buffer()), total);
    }
    co_return nlohmann::json::parse(body);
}

} // namespace details
} // namespace Trellum
