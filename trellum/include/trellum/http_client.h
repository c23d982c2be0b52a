#pragma once
// Small asynchronous HTTP client over WinINet. Every request is a coroutine completed from
// WinINet's status callback; requests on one client run one at a time.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include <windows.h>
#include <wininet.h>

#include <nlohmann/json.hpp>

#include "corun/cancellation.h"
#include "corun/future.h"
#include "corun/srw_lock.h"

namespace Trellum {

namespace details {

// Move-only owner of one WinINet handle; null is the empty value.
class unique_hinternet {
public:
    unique_hinternet() noexcept = default;
    explicit unique_hinternet(HINTERNET h) noexcept : h_(h) {}
    unique_hinternet(unique_hinternet&& other) noexcept : h_(other.release()) {}
    unique_hinternet& operator=(unique_hinternet&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    unique_hinternet(const unique_hinternet&) = delete;
    unique_hinternet& operator=(const unique_hinternet&) = delete;
    ~unique_hinternet() { reset(); }

    HINTERNET get() const noexcept { return h_; }
    HINTERNET release() noexcept { return std::exchange(h_, nullptr); }
    void reset(HINTERNET h = nullptr) noexcept
    {
        if (h_)
            InternetCloseHandle(h_);
        h_ = h;
    }
    explicit operator bool() const noexcept { return h_ != nullptr; }

private:
    HINTERNET h_ = nullptr;
};

// Move-only owner of one file handle; INVALID_HANDLE_VALUE is the empty value.
class unique_file {
public:
    unique_file() noexcept = default;
    explicit unique_file(HANDLE h) noexcept : h_(h) {}
    unique_file(unique_file&& other) noexcept : h_(other.release()) {}
    unique_file& operator=(unique_file&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    unique_file(const unique_file&) = delete;
    unique_file& operator=(const unique_file&) = delete;
    ~unique_file() { reset(); }

    HANDLE get() const noexcept { return h_; }
    HANDLE release() noexcept { return std::exchange(h_, INVALID_HANDLE_VALUE); }
    void reset(HANDLE h = INVALID_HANDLE_VALUE) noexcept
    {
        if (h_ != INVALID_HANDLE_VALUE)
            CloseHandle(h_);
        h_ = h;
    }
    explicit operator bool() const noexcept { return h_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

class HttpClient;
class file_digest;

// What WinINet's context value points at for the calls of one request: the client, which the
// status callback reaches through it, and by its address the request itself. Every request
// gets a new one, which lives as long as its client, so that a late completion of an earlier
// request still finds a valid context and is told apart by it.
struct request_context {
    HttpClient* client;
};

// One WinINet call in flight. An operation is registered with its client only from just
// before its WinINet call until a completion claims it or the call finished at once; a
// completion claims at most one registered operation, and only the one it belongs to.
class async_operation {
public:
    async_operation(const async_operation&) = delete;
    async_operation& operator=(const async_operation&) = delete;

    // Called on WinINet's callback thread after this operation was claimed; resumes the
    // waiting coroutine, after which the operation must not be touched.
    virtual void complete(const INTERNET_ASYNC_RESULT& result) noexcept = 0;

    // A completion belongs to this operation when it carries the context of the request the
    // operation was started for and, for a read, comes for the request handle it reads.
    bool owns(HINTERNET handle, DWORD_PTR context) const noexcept
    {
        return context == context_value() && (!expected_ || expected_ == handle);
    }
    // The request handle a read reads; null for opening the URL.
    HINTERNET expected_handle() const noexcept { return expected_; }
    // The context value of the request's WinINet calls.
    DWORD_PTR context_value() const noexcept { return reinterpret_cast<DWORD_PTR>(context_); }

protected:
    async_operation(const request_context& context, HINTERNET expected) noexcept
        : client_(*context.client), context_(&context), expected_(expected)
    {
    }
    // Awaiters are moved into the coroutine frame before they are armed; never after.
    async_operation(async_operation&& other) noexcept
        : client_(other.client_), context_(other.context_), expected_(other.expected_)
    {
    }
    ~async_operation();

    // Registers before the WinINet call.
    void arm(std::coroutine_handle<> waiter) noexcept;
    // After a call that finished at once (or failed at once): true when op was still
    // registered, so the caller continues by itself; false when a completion has claimed it
    // and resumes the coroutine, which may then already be gone: so op is only compared
    // until it is known to be alive, and the client comes from the caller.
    static bool disarm(HttpClient& client, async_operation* op) noexcept;
    void resume() noexcept;

    HttpClient& client_;

private:
    const request_context* context_;
    HINTERNET expected_;
    std::coroutine_handle<> continuation_;
};

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

    // The session's status callback (WinINet's callback thread).
    static void CALLBACK status_callback(HINTERNET handle, DWORD_PTR context, DWORD status, void* information,
                                         DWORD length);

private:
    friend class async_operation;
    friend struct http_client_probe; // tests inspect the pending field and the contexts
    class get_awaiter;
    class read_awaiter;

    ~HttpClient();
    void close() noexcept;
    std::wstring canonicalize_url(const std::wstring& path) const;
    // The context of a request that starts now.
    const request_context& new_request_context();
    get_awaiter get(const request_context& context, std::wstring&& url, std::wstring&& headers);
    read_awaiter read_chunk(const request_context& context, HINTERNET request, std::byte* buffer,
                            unsigned long long size);
    static void check_status(const unique_hinternet& request);
    corun::details::future<std::string> read_all(const request_context* context, HINTERNET request,
                                                 corun::details::cancellation_source source);
    corun::details::future<void> read_to_file(const request_context* context, HINTERNET request, HANDLE file,
                                              corun::details::cancellation_source source, file_digest* digest);

    HINTERNET session_ = nullptr;
    std::wstring base_url_;
    std::atomic<async_operation*> pending_{nullptr};
    // Taken only to check and claim pending_ together, and to add a context; nothing is
    // resumed under it.
    corun::details::srw_lock pending_lock_;
    // One per request made; elements never move, and go only with the client.
    std::deque<request_context> contexts_;
    std::atomic<std::uint32_t> references_{0};
};

} // namespace details
} // namespace Trellum

__CRT_UUID_DECL(Trellum::IHttpClient, 0x84E1CFFF, 0x606E, 0x4005, 0x83, 0x1D, 0x01, 0xD9, 0xDF, 0xA3, 0x2A, 0x1C)
