#pragma once
// Small asynchronous HTTP client over WinINet. Every request is a coroutine completed from
// WinINet's status callback; requests on one client run one at a time.
#include <atomic>
#include <cstddef>
#include <cstdint>
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

// One WinINet call in flight. An operation is registered with its client only from just
// before its WinINet call until a completion claims it or the call finished at once; a
// completion claims at most one registered operation.
class async_operation {
public:
    async_operation(const async_operation&) = delete;
    async_operation& operator=(const async_operation&) = delete;

    // Called on WinINet's callback thread after this operation was claimed; resumes the
    // waiting coroutine, after which the operation must not be touched.
    virtual void complete(const INTERNET_ASYNC_RESULT& result) noexcept = 0;

    // A read accepts only completions for its own request handle.
    HINTERNET expected_handle() const noexcept { return expected_; }

protected:
    async_operation(HttpClient& client, HINTERNET expected) noexcept : client_(client), expected_(expected) {}
    // Awaiters are moved into the coroutine frame before they are armed; never after.
    async_operation(async_operation&& other) noexcept : client_(other.client_), expected_(other.expected_) {}
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
    HINTERNET expected_;
    std::coroutine_handle<> continuation_;
};

} // namespace details

// {84E1CFFF-606E-4005-831D-01D9DFA32A1C}
struct IHttpClient : IUnknown {
    virtual bool open(const std::wstring& base_url) = 0;
    virtual corun::details::future<nlohmann::json> get_json(std::wstring path,
                                                           const corun::details::cancellation_source& source) = 0;
    // On success the body is in the target file, which an existing file is replaced by only
    // then. When kept_file is given it receives a read-only handle of the file that denies
    // writing and deleting to everyone else, opened after checking that the file holds
    // exactly the downloaded bytes; the file can still be read and started meanwhile.
    virtual corun::details::future<bool> download_file(std::wstring path, std::wstring target_file,
                                                      const corun::details::cancellation_source& source,
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
                                                   const corun::details::cancellation_source& source) override;
    corun::details::future<bool> download_file(std::wstring path, std::wstring target_file,
                                              const corun::details::cancellation_source& source,
                                              unique_file* kept_file = nullptr) override;
    corun::details::future<void> extra_request(std::wstring, std::string, std::string) override;

    // Largest document get_json accepts; a longer body is an error, never cut.
    static constexpr std::size_t document_limit = 65536;

    // The session's status callback (WinINet's callback thread).
    static void CALLBACK status_callback(HINTERNET handle, DWORD_PTR context, DWORD status, void* information,
                                         DWORD length);

private:
    friend class async_operation;
    friend struct http_client_probe; // tests inspect the pending field
    class get_awaiter;
    class read_awaiter;

    ~HttpClient();
    void close() noexcept;
    std::wstring canonicalize_url(const std::wstring& path) const;
    get_awaiter get(std::wstring&& url, std::wstring&& headers);
    read_awaiter read_chunk(const unique_hinternet& request, std::byte* buffer, unsigned long long size);
    static void check_status(const unique_hinternet& request);
    corun::details::future<std::string> read_all(const unique_hinternet& request,
                                                 const corun::details::cancellation_source& source);
    corun::details::future<void> read_to_file(const unique_hinternet& request, HANDLE file,
                                              const corun::details::cancellation_source& source,
                                              file_digest* digest);

    HINTERNET session_ = nullptr;
    std::wstring base_url_;
    std::atomic<async_operation*> pending_{nullptr};
    // Taken only to check and claim pending_ together; nothing is resumed under it.
    corun::details::srw_lock pending_lock_;
    std::atomic<std::uint32_t> references_{0};
};

} // namespace details
} // namespace Trellum

__CRT_UUID_DECL(Trellum::IHttpClient, 0x84E1CFFF, 0x606E, 0x4005, 0x83, 0x1D, 0x01, 0xD9, 0xDF, 0xA3, 0x2A, 0x1C)
