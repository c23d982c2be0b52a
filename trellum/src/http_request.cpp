// The WinINet request machine: calls with their own contexts, their completions, the request
// handle's closing, and the cancellation that ends a pending call.
#include "http_request.h"

#include <mutex>
#include <new>
#include <utility>

#include "corun/errors.h"
#include "corun/thread_pool.h"

namespace Trellum::details {

namespace {

constexpr DWORD open_url_flags = INTERNET_FLAG_EXISTING_CONNECT | INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_UI;

DWORD_PTR context_of(http_call& call) noexcept
{
    return reinterpret_cast<DWORD_PTR>(&call);
}

// Keeps a request alive across a WinINet call, whose completion may end the owner's coroutine
// (and its reference) before the call has returned.
class request_hold {
public:
    explicit request_hold(http_request& request) noexcept : request_(request) { request_.add_ref(); }
    request_hold(const request_hold&) = delete;
    request_hold& operator=(const request_hold&) = delete;
    ~request_hold() { request_.release(); }

private:
    http_request& request_;
};

// The work a cancellation hands to the pool: close the handle, then resume the call's waiter,
// away from the cancelling thread, which holds the token's lock.
struct cancel_work {
    http_request* request; // one reference, given back by the work
    HINTERNET handle;
    std::coroutine_handle<> waiter;

    static void CALLBACK run(PTP_CALLBACK_INSTANCE, void* context) noexcept
    {
        std::unique_ptr<cancel_work> work(static_cast<cancel_work*>(context));
        if (work->handle)
            InternetCloseHandle(work->handle);
        if (work->waiter)
            work->waiter.resume();
        work->request->release();
    }
};

// Closes a handle that WinINet reported after the request was closed; never inside the
// callback that reports it.
struct close_work {
    http_request* request;
    HINTERNET handle;

    static void CALLBACK run(PTP_CALLBACK_INSTANCE, void* context) noexcept
    {
        std::unique_ptr<close_work> work(static_cast<close_work*>(context));
        InternetCloseHandle(work->handle);
        work->request->release();
    }
};

void close_elsewhere(http_request& request, HINTERNET handle) noexcept
{
    if (!handle)
        return;
    request.add_ref();
    auto* work = new (std::nothrow) close_work{&request, handle};
    if (work &&
        TrySubmitThreadpoolCallback(&close_work::run, work, corun::details::module_callback_environment()))
        return;
    delete work;
    request.release();
    InternetCloseHandle(handle);
}

} // namespace

void check_status(HINTERNET request)
{
    DWORD status = 0;
    DWORD length = sizeof status;
    if (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &length, nullptr))
        corun::throw_last_error();
    if (status != HTTP_STATUS_OK)
        corun::throw_error(E_INVALIDARG);
}

// ---- lifetime -------------------------------------------------------------------------------

http_request::http_request() : buffer_(new std::byte[buffer_size]) {}

http_request* http_request::create()
{
    return new http_request;
}

void http_request::add_ref() noexcept
{
    references_.fetch_add(1, std::memory_order_relaxed);
}

void http_request::release() noexcept
{
    if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete this;
}

bool http_request::wininet_done_locked() noexcept
{
    if (!wininet_holds_ || !open_over_ || live_handles_ > 0 || handle_alive_)
        return false;
    wininet_holds_ = false;
    return true;
}

HINTERNET http_request::note_handle_locked(HINTERNET handle) noexcept
{
    if (!handle || handle == known_)
        return nullptr;
    known_ = handle;
    handle_alive_ = true;
    if (closing_)
        return handle;
    handle_ = handle;
    return nullptr;
}

HINTERNET http_request::take_handle_to_close_locked() noexcept
{
    if (!closing_ || users_ > 0)
        return nullptr;
    return std::exchange(handle_, nullptr);
}

// ---- calls ----------------------------------------------------------------------------------

http_call* http_request::start_call(std::coroutine_handle<> waiter, bool opening, HINTERNET& handle,
                                     DWORD& refused) noexcept
{
    std::lock_guard guard(lock_);
    refused = cancelled_ || closing_ ? ERROR_CANCELLED : !opening && !handle_ ? ERROR_INVALID_HANDLE : 0;
    if (refused)
        return nullptr;
    http_call* made = nullptr;
    try {
        made = &calls_.emplace_back(*this);
    } catch (const std::bad_alloc&) {
        refused = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    http_call& call = *made;
    call.armed = true;
    call.waiter = waiter;
    pending_ = &call;
    ++users_; // until this call's own finish_call, whatever completes meanwhile
    if (opening) {
        opening_ = &call;
        if (!wininet_holds_) {
            // From the call on WinINet may call back with this request's contexts.
            wininet_holds_ = true;
            add_ref();
        }
    } else {
        handle = handle_;
    }
    return &call;
}

bool http_request::finish_call(http_call& call, bool ended, DWORD error, HINTERNET opened) noexcept
{
    bool here = false;
    bool done = false;
    HINTERNET to_close = nullptr;
    {
        std::lock_guard guard(lock_);
        --users_;
        if (ended) {
            if (&call == opening_) {
                open_over_ = true;
                to_close = note_handle_locked(opened);
            }
            // Still armed: neither a completion nor the cancellation has taken the call.
            if (call.armed) {
                call.armed = false;
                call.waiter = nullptr;
                call.error = error;
                call.result = reinterpret_cast<DWORD_PTR>(opened);
                if (pending_ == &call)
                    pending_ = nullptr;
                here = true;
            }
            done = wininet_done_locked();
        }
        if (!to_close)
            to_close = take_handle_to_close_locked();
    }
    if (to_close)
        InternetCloseHandle(to_close);
    if (done)
        release();
    return here;
}

http_request::open_awaiter http_request::open(HINTERNET session, const std::wstring& url,
                                              const std::wstring& headers) noexcept
{
    return open_awaiter(*this, session, url, headers);
}

http_request::read_awaiter http_request::read(std::size_t offset, std::size_t size) noexcept
{
    const std::size_t room = offset < buffer_size ? buffer_size - offset : 0;
    return read_awaiter(*this, offset, static_cast<DWORD>(size < room ? size : room));
}

bool http_request::open_awaiter::await_suspend(std::coroutine_handle<> waiter) noexcept
{
    // From the WinINet call on, a completion may resume the coroutine on another thread and
    // end it: only locals and the held request are used until finish_call says the call is ours.
    http_request& request = request_;
    const request_hold hold(request);
    HINTERNET unused = nullptr;
    http_call* call = request.start_call(waiter, true, unused, refused_);
    call_ = call;
    if (!call)
        return false;
    HINTERNET opened = InternetOpenUrlW(session_, url_.c_str(), headers_.c_str(), static_cast<DWORD>(headers_.size()),
                                        open_url_flags, context_of(*call));
    const DWORD error = opened ? 0 : GetLastError();
    return !request.finish_call(*call, opened || error != ERROR_IO_PENDING, error ? error : 0, opened);
}

void http_request::open_awaiter::await_resume() const
{
    if (!call_)
        corun::throw_win32_error(refused_);
    if (call_->abandoned)
        throw corun::details::operation_cancelled();
    if (call_->error != 0)
        corun::throw_win32_error(call_->error);
    if (!call_->result)
        corun::throw_error(E_FAIL);
}

bool http_request::read_awaiter::await_suspend(std::coroutine_handle<> waiter) noexcept
{
    http_request& request = request_;
    const request_hold hold(request);
    HINTERNET handle = nullptr;
    http_call* call = request.start_call(waiter, false, handle, refused_);
    call_ = call;
    if (!call)
        return false;
    // The handle reports its completions with the context of its latest call: this one's.
    DWORD_PTR context = context_of(*call);
    BOOL read = FALSE;
    DWORD error = 0;
    if (!InternetSetOptionW(handle, INTERNET_OPTION_CONTEXT_VALUE, &context, sizeof context)) {
        error = GetLastError();
        if (error == 0 || error == ERROR_IO_PENDING)
            error = ERROR_INTERNAL_ERROR;
    } else {
        read = InternetReadFile(handle, request.buffer() + offset_, size_, &call->bytes);
        error = read ? 0 : GetLastError();
    }
    return !request.finish_call(*call, read || error != ERROR_IO_PENDING, error, nullptr);
}

DWORD http_request::read_awaiter::await_resume() const
{
    if (!call_)
        corun::throw_win32_error(refused_);
    if (call_->abandoned)
        throw corun::details::operation_cancelled();
    if (call_->error != 0)
        corun::throw_win32_error(call_->error);
    return call_->bytes;
}

// Uses the request handle for a synchronous query; a cancellation meanwhile closes it after.
class http_request::handle_use {
public:
    explicit handle_use(http_request& request) : request_(request)
    {
        std::lock_guard guard(request_.lock_);
        if (request_.cancelled_)
            throw corun::details::operation_cancelled();
        if (!request_.handle_)
            corun::throw_win32_error(ERROR_INVALID_HANDLE);
        ++request_.users_;
        handle = request_.handle_;
    }
    handle_use(const handle_use&) = delete;
    handle_use& operator=(const handle_use&) = delete;
    ~handle_use()
    {
        HINTERNET to_close = nullptr;
        {
            std::lock_guard guard(request_.lock_);
            --request_.users_;
            to_close = request_.take_handle_to_close_locked();
        }
        if (to_close)
            InternetCloseHandle(to_close);
    }

    HINTERNET handle = nullptr;

private:
    http_request& request_;
};

void http_request::check_status()
{
    const handle_use use(*this);
    Trellum::details::check_status(use.handle);
}

std::optional<DWORD> http_request::content_length()
{
    const handle_use use(*this);
    DWORD length = 0;
    DWORD size = sizeof length;
    if (!HttpQueryInfoW(use.handle, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &length, &size, nullptr))
        return std::nullopt;
    return length;
}

// ---- ending ---------------------------------------------------------------------------------

void http_request::cancel() noexcept
{
    std::lock_guard guard(lock_);
    if (cancelled_)
        return;
    cancelled_ = true;
    closing_ = true;
    http_call* call = pending_ && pending_->armed ? pending_ : nullptr;
    HINTERNET handle = users_ > 0 ? nullptr : handle_;
    if (!call && !handle)
        return;
    // The pool does the work; should it refuse, the call stays pending and ends with its
    // completion, and the handle is closed when the call returns or the request ends. The
    // call is ended here, under the lock, before the work can resume its waiter.
    auto* work = new (std::nothrow) cancel_work{this, handle, call ? call->waiter : nullptr};
    if (!work)
        return;
    if (call) {
        call->armed = false;
        call->abandoned = true;
        call->waiter = nullptr;
        pending_ = nullptr;
    }
    handle_ = handle ? nullptr : handle_;
    add_ref(); // the work's; the owner's reference outlives this call
    if (!TrySubmitThreadpoolCallback(&cancel_work::run, work, corun::details::module_callback_environment())) {
        references_.fetch_sub(1, std::memory_order_relaxed);
        handle_ = handle ? handle : handle_;
        if (call) {
            call->armed = true;
            call->abandoned = false;
            call->waiter = work->waiter;
            pending_ = call;
        }
        delete work;
    }
}

void http_request::close() noexcept
{
    HINTERNET to_close = nullptr;
    bool done = false;
    {
        std::lock_guard guard(lock_);
        closing_ = true;
        to_close = take_handle_to_close_locked();
        // Never opened, or opened and failed without a handle: WinINet has nothing of ours.
        if (!opening_)
            open_over_ = true;
        done = wininet_done_locked();
    }
    if (to_close)
        InternetCloseHandle(to_close);
    if (done)
        release();
}

// ---- callbacks ------------------------------------------------------------------------------

void http_request::handle_created(HINTERNET handle) noexcept
{
    HINTERNET to_close = nullptr;
    {
        std::lock_guard guard(lock_);
        // The same handle reported twice still closes once.
        if (!handle || handle == known_)
            return;
        ++live_handles_;
        to_close = note_handle_locked(handle);
    }
    close_elsewhere(*this, to_close);
}

void http_request::complete(http_call& call, const INTERNET_ASYNC_RESULT& result) noexcept
{
    std::coroutine_handle<> waiter;
    HINTERNET to_close = nullptr;
    bool done = false;
    {
        std::lock_guard guard(lock_);
        if (&call == opening_ && !open_over_) {
            open_over_ = true;
            if (result.dwError == 0)
                to_close = note_handle_locked(reinterpret_cast<HINTERNET>(result.dwResult));
        }
        if (call.armed) {
            call.armed = false;
            call.error = result.dwError;
            call.result = result.dwResult;
            if (call.error != 0)
                call.bytes = 0;
            waiter = std::exchange(call.waiter, nullptr);
            if (pending_ == &call)
                pending_ = nullptr;
        }
        done = wininet_done_locked();
    }
    close_elsewhere(*this, to_close);
    if (waiter)
        waiter.resume();
    if (done)
        release();
}

void http_request::handle_closing(HINTERNET handle) noexcept
{
    bool done = false;
    {
        std::lock_guard guard(lock_);
        if (live_handles_ > 0)
            --live_handles_;
        if (handle == known_) {
            handle_alive_ = false;
            if (handle_ == handle)
                handle_ = nullptr;
        }
        done = wininet_done_locked();
    }
    if (done)
        release();
}

void CALLBACK http_request::status_callback(HINTERNET handle, DWORD_PTR context, DWORD status, void* information,
                                            DWORD length)
{
    // The session itself has no context; every other context value is one of our calls.
    if (!context)
        return;
    http_call& call = *reinterpret_cast<http_call*>(context);
    switch (status) {
    case INTERNET_STATUS_HANDLE_CREATED:
        // Windows reports the new handle as an INTERNET_ASYNC_RESULT, Wine as the handle alone;
        // either way it comes first.
        if (information && length >= sizeof(HINTERNET))
            call.request.handle_created(*static_cast<const HINTERNET*>(information));
        break;
    case INTERNET_STATUS_REQUEST_COMPLETE:
        if (information && length >= sizeof(INTERNET_ASYNC_RESULT))
            call.request.complete(call, *static_cast<const INTERNET_ASYNC_RESULT*>(information));
        break;
    case INTERNET_STATUS_HANDLE_CLOSING:
        call.request.handle_closing(handle);
        break;
    default:
        break;
    }
}

// ---- scope ----------------------------------------------------------------------------------

request_scope::subscription::subscription(corun::details::cancellation_token& token, http_request& request)
    : cancellation_subscription_base(token), request_(request)
{
    link();
}

request_scope::request_scope(corun::details::cancellation_token& token)
    : owner_(http_request::create()), subscription_(token, *owner_)
{
    // A cancellation before the link runs no callback: it is seen here instead.
    if (token.is_cancelled())
        owner_->cancel();
}

} // namespace Trellum::details
