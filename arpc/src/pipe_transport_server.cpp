// The server half of the pipe transport: pipe instances, the cancellable wait for a client,
// impersonation and the client's token.
#include <string>

#include "arpc/pipe_transport.h"
#include "corun/errors.h"

namespace arpc {

using corun::details::future;

long PipeTransport::Listen(std::wstring_view name, security_descriptor& descriptor)
{
    security_descriptor copy(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), copy.get(), FALSE};
    std::wstring path = L"\\\\.\\pipe\\";
    path.append(name);
    HANDLE created = CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, 0,
                                      PIPE_UNLIMITED_INSTANCES, 0x400000, 0x400000, 0, &attributes);
    const DWORD error = created == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    replace_pipe(created);
    if (created == INVALID_HANDLE_VALUE)
        return corun::details::hresult_from_win32(error);
    BindThreadpoolIo();
    is_server_ = true;
    return S_OK;
}

future<unsigned long> PipeTransport::WaitClient(std::function<void()> first, std::function<void()> second)
{
    (void)first; // held, not run, until the wait ends
    corun::details::promise_base& self = co_await corun::details::current_promise{};
    const std::shared_ptr<corun::details::cancellation_source_body> source = source_;
    corun::details::cancellation_token token(source, &self.cancelled);
    std::atomic<OVERLAPPED*> slot{nullptr};
    const HANDLE pipe = Handle();
    ConnectAwaiter connect(pipe, io_, slot, &second, &token);
    // Runs on the pool when the source is cancelled; a connect not yet published is caught
    // by the awaiter itself, which tests the token after publishing. The subscription's end
    // waits for this, so the OVERLAPPED outlives the CancelIoEx.
    auto cancel = [pipe, &slot] {
        if (OVERLAPPED* pending = slot.load(std::memory_order_seq_cst))
            CancelIoEx(pipe, pending);
    };
    corun::details::cancellation_subscription<decltype(cancel)> subscription(token, cancel);
    token.throw_if_cancelled();
    self.throw_if_cancelled();
    co_await connect;
    co_return static_cast<unsigned long>(connect.overlapped.InternalHigh);
}

long PipeTransport::ImpersonateClient()
{
    if (!ImpersonateNamedPipeClient(Handle()))
        return corun::details::hresult_from_win32(GetLastError());
    return S_OK;
}

long PipeTransport::RevertToSelf()
{
    if (!::RevertToSelf())
        return corun::details::hresult_from_win32(GetLastError());
    return S_OK;
}

CToken PipeTransport::GetClientToken(std::uint32_t desired_access, bool keep_impersonating, bool open_as_self)
{
    CToken token;
    if (!ImpersonateNamedPipeClient(Handle()))
        return token;
    HANDLE opened = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), desired_access, open_as_self, &opened)) {
        ::RevertToSelf();
        return token;
    }
    token.attach(opened);
    if (!keep_impersonating) {
        ::RevertToSelf();
        return token;
    }
    try {
        token.set_revert(std::make_unique<revert_to_self>());
    } catch (const std::bad_alloc&) {
        ::RevertToSelf();
        token.clear();
    }
    return token;
}

} // namespace arpc
