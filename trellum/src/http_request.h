#pragma once
// The WinINet request machine: one URL opened and its body read, call by call, from WinINet's
// status callback. Every WinINet call has a context value of its own (its record's address),
// so a completion resumes only the call it belongs to; a late completion of a call that has
// ended already resumes nothing. The records, the body buffer into which WinINet may still
// write, and the request itself live until WinINet's last callback for every handle it made for
// the request (INTERNET_STATUS_HANDLE_CLOSING), however the open ended and whatever happened to
// the client or the caller meanwhile. WinINet keeps the handle of an open that failed; the
// request closes it when it ends. A cancellation closes the request handle and ends the
// pending call at once.
#include <atomic>
#include <coroutine>
#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include <windows.h>
#include <wininet.h>

#include "corun/cancellation.h"
#include "corun/srw_lock.h"

namespace Trellum::details {

class http_request;

// A token on the caller's source for the running coroutine: a cancelled source ends the
// request with operation_cancelled before anything is made, and the promise's flag fails the
// coroutine's next await of a future.
struct token_holder {
    corun::details::cancellation_token token;
    token_holder(const corun::details::cancellation_source& source, std::atomic<bool>& flag) : token(source, &flag) {}
};

// One WinINet call of a request. Written under the request's lock until the call has ended;
// the coroutine reads its results only after it was resumed or continued past the call.
struct http_call {
    explicit http_call(http_request& owner) noexcept : request(owner) {}
    http_call(const http_call&) = delete;
    http_call& operator=(const http_call&) = delete;

    http_request& request;
    std::coroutine_handle<> waiter; // the coroutine a completion resumes; null once it has ended
    bool armed = false;             // a completion may still end the call
    bool abandoned = false;         // ended by a cancellation
    DWORD error = 0;
    DWORD_PTR result = 0;
    DWORD bytes = 0; // InternetReadFile's count, which WinINet may write until the call ends
};

// A status that is not 200 fails with E_INVALIDARG; a status that cannot be read fails too,
// so that an unknown answer never passes as success.
void check_status(HINTERNET request);

class http_request {
public:
    // Largest read into the buffer: a whole document and one byte beyond it.
    static constexpr std::size_t buffer_size = 65536 + 1;

    http_request(const http_request&) = delete;
    http_request& operator=(const http_request&) = delete;

    // A new request holding one reference, its owner's.
    static http_request* create();
    void add_ref() noexcept;
    void release() noexcept;

    // Owned by the request: WinINet may write into it until its last callback.
    std::byte* buffer() noexcept { return buffer_.get(); }

    class open_awaiter;
    class read_awaiter;
    // Opens url on session; the request handle stays with the request.
    open_awaiter open(HINTERNET session, const std::wstring& url, const std::wstring& headers) noexcept;
    // Reads up to size bytes into the buffer at offset; yields the count, 0 at the end.
    read_awaiter read(std::size_t offset, std::size_t size) noexcept;

    void check_status();
    std::optional<DWORD> content_length();

    // From the cancellation (under the token's lock): refuses later calls, ends the pending
    // call at once and closes the request handle, both on a pool thread.
    void cancel() noexcept;
    // By the owner when the request ends: closes the request handle.
    void close() noexcept;

    // The session's status callback; every context value it meets is an http_call.
    static void CALLBACK status_callback(HINTERNET handle, DWORD_PTR context, DWORD status, void* information,
                                         DWORD length);

private:
    friend struct http_request_probe; // tests read the calls' contexts
    class handle_use;

    http_request();
    ~http_request() = default;

    // A new call, registered as the one pending; null with the reason in refused (ERROR_CANCELLED
    // once cancelled or closed) when no call may start.
    http_call* start_call(std::coroutine_handle<> waiter, bool opening, HINTERNET& handle, DWORD& refused) noexcept;
    // After the WinINet call returned: true when the coroutine goes on here (the call ended at
    // once and no completion or cancellation has taken it). The request must be held.
    bool finish_call(http_call& call, bool ended, DWORD error, HINTERNET opened) noexcept;
    // Under the lock: notes a request handle that WinINet reports; returns it when it must be
    // closed at once because the request was closed or cancelled before it came.
    HINTERNET note_handle_locked(HINTERNET handle) noexcept;
    // Under the lock: the handle to close now that it is not in use, if the request wants it closed.
    HINTERNET take_handle_to_close_locked() noexcept;
    // Under the lock: true (once) when WinINet can no longer call back with this request's
    // contexts, so its reference goes.
    bool wininet_done_locked() noexcept;

    void handle_created(HINTERNET handle) noexcept;
    void complete(http_call& call, const INTERNET_ASYNC_RESULT& result) noexcept;
    void handle_closing(HINTERNET handle) noexcept;

    std::atomic<long> references_{1};
    std::unique_ptr<std::byte[]> buffer_;
    corun::details::srw_lock lock_; // nothing is resumed and no WinINet call is made under it
    std::deque<http_call> calls_;   // never move; go with the request
    http_call* pending_ = nullptr;  // the call a cancellation ends
    http_call* opening_ = nullptr;  // the call that opens the URL
    HINTERNET handle_ = nullptr;    // the request handle while the request may use it
    HINTERNET known_ = nullptr;     // the request handle's value, to match its closing
    bool handle_alive_ = false;     // known_ not yet reported closing
    int live_handles_ = 0;          // handles WinINet made with a context of this request
    bool open_over_ = false;        // opening the URL has ended
    bool wininet_holds_ = false;    // WinINet's reference is taken
    int users_ = 0;                 // WinINet calls of this request running, and queries on handle_
    bool cancelled_ = false;
    bool closing_ = false; // the handle is closed as soon as it is not in use
};

class http_request::open_awaiter {
public:
    open_awaiter(http_request& request, HINTERNET session, const std::wstring& url,
                 const std::wstring& headers) noexcept
        : request_(request), session_(session), url_(url), headers_(headers)
    {
    }
    bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<> waiter) noexcept;
    void await_resume() const;

private:
    http_request& request_;
    HINTERNET session_;
    const std::wstring& url_;
    const std::wstring& headers_;
    http_call* call_ = nullptr;
    DWORD refused_ = 0;
};

class http_request::read_awaiter {
public:
    read_awaiter(http_request& request, std::size_t offset, DWORD size) noexcept
        : request_(request), offset_(offset), size_(size)
    {
    }
    bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<> waiter) noexcept;
    DWORD await_resume() const;

private:
    http_request& request_;
    std::size_t offset_;
    DWORD size_;
    http_call* call_ = nullptr;
    DWORD refused_ = 0;
};

// A request's part in the coroutine that runs it: the owner's reference and the cancellation
// that reaches the pending call. The handle is closed when the scope ends.
class request_scope {
public:
    explicit request_scope(corun::details::cancellation_token& token);
    request_scope(const request_scope&) = delete;
    request_scope& operator=(const request_scope&) = delete;
    ~request_scope() = default;

    http_request* operator->() const noexcept { return owner_.get(); }

private:
    struct closer {
        void operator()(http_request* request) const noexcept
        {
            request->close();
            request->release();
        }
    };
    class subscription final : public corun::details::cancellation_subscription_base {
    public:
        subscription(corun::details::cancellation_token& token, http_request& request);
        subscription(const subscription&) = delete;
        subscription& operator=(const subscription&) = delete;
        ~subscription() { unlink(); }
        void callback() noexcept override { request_.cancel(); }

    private:
        http_request& request_;
    };

    std::unique_ptr<http_request, closer> owner_;
    subscription subscription_; // unlinked before the request is closed
};

} // namespace Trellum::details
