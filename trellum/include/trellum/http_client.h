#pragma once
// Small asynchronous HTTP client over WinINet. Every request is a coroutine completed from
// WinINet's status callback. A cancellation ends a request at once, also while WinINet waits
// for the server; what WinINet still holds of it lives on until WinINet lets go.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include <windows.h>
#include <wininet.h>

#include <nlohmann/json.hpp>

#include "corun/cancellation.h"
#include "corun/future.h"
#include "corun/unique_any.h"

namespace Trellum {

namespace details {

// A WinINet handle; null is the empty value.
struct HINTERNET_traits {
    using pointer = HINTERNET;
    static pointer empty() noexcept { return nullptr; }
    static void close(pointer h) noexcept { InternetCloseHandle(h); }
};
using unique_hinternet = corun::details::unique_any<HINTERNET_traits>;
using corun::details::unique_file;

} // namespace details

// {84E1CFFF-606E-4005-831D-01D9DFA32A1C}
// A request holds a reference on its client until it has ended, so the caller may release
// its own meanwhile. The cancellation source is copied (copies share one source).
struct IHttpClient : IUnknown {
    virtual bool open(const std::wstring& base_url) = 0;
    virtual corun::details::future<nlohmann::json> get_json(std::wstring path,
                                                           corun::details::cancellation_source source) = 0;
    // On success the body is in the target file, which an existing file is replaced by only
    // then. When kept_file is given it receives a read-only handle of the file that denies
    // writing and deleting to everyone else, opened after checking that the file holds
    // exactly the downloaded bytes; the file can still be read and started meanwhile.
    virtual corun::details::future<bool> download_file(std::wstring path, std::wstring target_file,
                                                      corun::details::cancellation_source source,
                                                      details::unique_file* kept_file = nullptr) = 0;
    virtual corun::details::future<void> extra_request(std::wstring, std::string, std::string) = 0;
};

namespace details {

class HttpClient final : public IHttpClient {
public:
    HttpClient() noexcept = default;
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    bool open(const std::wstring& base_url) override;
    corun::details::future<nlohmann::json> get_json(std::wstring path,
                                                   corun::details::cancellation_source source) override;
    corun::details::future<bool> download_file(std::wstring path, std::wstring target_file,
                                              corun::details::cancellation_source source,
                                              unique_file* kept_file = nullptr) override;
    corun::details::future<void> extra_request(std::wstring, std::string, std::string) override;

    // Largest document get_json accepts; a longer body is an error, never cut.
    static constexpr std::size_t document_limit = 65536;

private:
    ~HttpClient();
    void close() noexcept;
    std::wstring canonicalize_url(const std::wstring& path) const;

    HINTERNET session_ = nullptr;
    std::wstring base_url_;
    std::atomic<std::uint32_t> references_{0};
};

} // namespace details
} // namespace Trellum

__CRT_UUID_DECL(Trellum::IHttpClient, 0x84E1CFFF, 0x606E, 0x4005, 0x83, 0x1D, 0x01, 0xD9, 0xDF, 0xA3, 0x2A, 0x1C)
