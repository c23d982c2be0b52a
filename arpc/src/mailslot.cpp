#include "arpc/mailslot.h"

#include <coroutine>
#include <memory>
#include <string>
#include <utility>

#include "corun/errors.h"
#include "mailslot_transfer.h"

namespace arpc {

using corun::details::cancellation_source_body;
using corun::details::cancellation_subscription;
using corun::details::cancellation_token;
using corun::details::future;
using corun::details::hresult_error;
using corun::details::hresult_from_win32;
using corun::details::operation_cancelled;

namespace {

// The token is checked before the call and, through the awaiter, again once the call is
// pending: a cancellation in between found no OVERLAPPED to cancel.
future<std::vector<std::byte>> read_bound(HANDLE handle, threadpool_io& io,
                                          std::shared_ptr<cancellation_source_body> source,
                                          void (*cancel)(HANDLE, std::atomic<OVERLAPPED*>&))
{
    std::vector<std::byte> buffer(Mailslot::read_size);
    if (source->is_cancelled())
        throw operation_cancelled();
    std::atomic<OVERLAPPED*> pending{nullptr};
    cancellation_token token(source);
    // Declared before the subscription: a running cancel may still touch its OVERLAPPED until
    // the subscription's destructor has waited for it.
    ReadAwaiter read(handle, io, buffer.data(), Mailslot::read_size, &pending, &token);
    auto on_cancel = [handle, &pending, cancel] { cancel(handle, pending); };
    cancellation_subscription<decltype(on_cancel)> subscription(token, on_cancel);
    if (token.is_cancelled())
        throw operation_cancelled();
    bool oversized = false;
    DWORD count = 0;
    try {
        count = co_await read;
    } catch (const hresult_error& e) {
        if (e.code() != hresult_from_win32(ERROR_INSUFFICIENT_BUFFER))
            throw;
        oversized = true;
    }
    if (oversized)
        drop_oversized_datagram(handle);
    buffer.resize(count);
    co_return buffer;
}

future<unsigned long> write_bound(HANDLE handle, threadpool_io& io, std::vector<std::byte> data,
                                  std::shared_ptr<cancellation_source_body> source,
                                  void (*cancel)(HANDLE, std::atomic<OVERLAPPED*>&))
{
    if (source->is_cancelled())
        throw operation_cancelled();
    std::atomic<OVERLAPPED*> pending{nullptr};
    cancellation_token token(source);
    WriteAwaiter write(handle, io, data.data(), static_cast<DWORD>(data.size()), &pending, &token);
    auto on_cancel = [handle, &pending, cancel] { cancel(handle, pending); };
    cancellation_subscription<decltype(on_cancel)> subscription(token, on_cancel);
    if (token.is_cancelled())
        throw operation_cancelled();
    const DWORD count = co_await write;
    co_return static_cast<unsigned long>(count);
}

future<std::vector<std::byte>> fail_read(long hr)
{
    corun::throw_error(hr);
    co_return {};
}

future<unsigned long> fail_write(long hr)
{
    corun::throw_error(hr);
    co_return 0;
}

} // namespace

void Mailslot::cancel_io(HANDLE handle, std::atomic<OVERLAPPED*>& pending) noexcept
{
    // A call that has completed meanwhile is no longer pending: CancelIoEx then cancels nothing.
    if (OVERLAPPED* call = pending.exchange(nullptr, std::memory_order_seq_cst))
        CancelIoEx(handle, call);
}

Mailslot::Mailslot() = default;

Mailslot::Mailslot(force_polling_t) : force_polling_(true) {}

Mailslot::~Mailslot()
{
    io_.close();
    if (handle_ != INVALID_HANDLE_VALUE) {
        CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }
}

HRESULT Mailslot::CreateServer(std::wstring_view name, SECURITY_ATTRIBUTES* security)
{
    const std::wstring path = L"\\\\.\\mailslot\\" + std::wstring(name);
    HANDLE opened = CreateMailslotW(path.c_str(), 0, MAILSLOT_WAIT_FOREVER, security);
    const DWORD error = opened == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    return adopt(opened, error, true);
}

HRESULT Mailslot::OpenClient(std::wstring_view host, std::wstring_view name)
{
    const std::wstring path = L"\\\\" + std::wstring(host) + L"\\mailslot\\" + std::wstring(name);
    HANDLE opened = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    const DWORD error = opened == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    return adopt(opened, error, false);
}

HRESULT Mailslot::adopt(HANDLE opened, DWORD error, bool server)
{
    if (handle_ != INVALID_HANDLE_VALUE)
        CloseHandle(handle_);
    handle_ = opened;
    if (opened == INVALID_HANDLE_VALUE)
        return hresult_from_win32(error);

    bound_ = false;
    if (!force_polling_) {
        try {
            io_.bind(handle_);
            bound_ = true;
        } catch (const hresult_error& e) {
            // Some systems cannot bind a mailslot handle to the thread pool at all; the
            // endpoint then polls. Any other failure is the caller's.
            if (e.code() != hresult_from_win32(ERROR_INVALID_PARAMETER))
                throw;
        }
    }
    if (!bound_ && server) {
        // The polling reader only reads a message it has seen waiting; a zero time-out keeps a
        // read from ever holding its thread should that message be gone.
        SetMailslotInfo(handle_, 0);
    }
    return S_OK;
}

void Mailslot::SetCancellationToken(const corun::details::cancellation_source& owner)
{
    cancellation_ = corun::details::cancellation_source::child_of(owner);
}

future<std::vector<std::byte>> Mailslot::Read()
{
    if (handle_ == INVALID_HANDLE_VALUE)
        return fail_read(hresult_from_win32(ERROR_INVALID_HANDLE));
    if (bound_)
        return read_bound(handle_, io_, cancellation_.body(), &cancel_io);
    return read_polled(handle_, cancellation_.body());
}

future<unsigned long> Mailslot::Write(std::vector<std::byte> data)
{
    if (handle_ == INVALID_HANDLE_VALUE)
        return fail_write(hresult_from_win32(ERROR_INVALID_HANDLE));
    if (bound_)
        return write_bound(handle_, io_, std::move(data), cancellation_.body(), &cancel_io);
    return write_unbound(handle_, std::move(data), cancellation_.body());
}

} // namespace arpc
