#include "arpc/io.h"

#include "corun/thread_pool.h"

namespace arpc {

void threadpool_io::bind(HANDLE handle)
{
    skips_on_success_ = SetFileCompletionNotificationModes(handle, FILE_SKIP_COMPLETION_PORT_ON_SUCCESS) != FALSE;
    close();
    io_ = CreateThreadpoolIo(handle, &IoCompletionCallback, nullptr, corun::details::module_callback_environment());
    if (!io_)
        corun::throw_last_error();
    io_owned_ = true;
}

void threadpool_io::close() noexcept
{
    if (io_owned_ && io_)
        CloseThreadpoolIo(io_);
    io_ = nullptr;
    io_owned_ = false;
}

void CALLBACK IoCompletionCallback(PTP_CALLBACK_INSTANCE, PVOID, PVOID overlapped, ULONG io_result,
                                   ULONG_PTR bytes_transferred, PTP_IO) noexcept
{
    auto* awaiter = reinterpret_cast<IoAwaiterBase*>(static_cast<OVERLAPPED*>(overlapped));
    awaiter->result = io_result;
    awaiter->transferred = static_cast<DWORD>(bytes_transferred);
    // The starter may still be inside await_suspend: the second to arrive resumes.
    if (awaiter->met.exchange(true, std::memory_order_acq_rel))
        awaiter->handle.resume();
}

DWORD IoAwaiterBase::await_resume() const
{
    if (result != ERROR_SUCCESS && result != ERROR_HANDLE_EOF)
        throw corun::details::hresult_error(corun::details::hresult_from_win32(result));
    return transferred;
}

bool IoAwaiterBase::finish_start(threadpool_io& io, BOOL ok, DWORD error)
{
    if (ok) {
        if (io.skips_on_success()) {
            CancelThreadpoolIo(io.get());
            transferred = static_cast<DWORD>(overlapped.InternalHigh);
            return false;
        }
        // The completion is queued all the same; wait for it like a pending call.
        return !met.exchange(true, std::memory_order_acq_rel);
    }
    if (error == ERROR_IO_PENDING)
        return !met.exchange(true, std::memory_order_acq_rel);
    CancelThreadpoolIo(io.get());
    corun::throw_win32_error(error);
}

void IoAwaiterBase::cancel_if_stopped(HANDLE file, const io_stop& stop) noexcept
{
    // The completion cannot resume the coroutine before finish_start, so the OVERLAPPED is
    // still this call's.
    if (stop.is_set())
        CancelIoEx(file, &overlapped);
}

namespace {

// A handle that was never bound (a transport that neither connected nor listens) has no
// I/O object to start.
void start_io(threadpool_io& io)
{
    if (!io.get())
        corun::throw_error(E_HANDLE);
    StartThreadpoolIo(io.get());
}

} // namespace

bool ReadAwaiter::await_suspend(std::coroutine_handle<> h)
{
    handle = h;
    start_io(io_);
    if (slot_)
        slot_->store(&overlapped, std::memory_order_seq_cst);
    const BOOL ok = ReadFile(file_, buffer_, count_, nullptr, &overlapped);
    const DWORD error = ok ? 0 : GetLastError();
    if (error == ERROR_IO_PENDING)
        cancel_if_stopped(file_, stop_);
    return finish_start(io_, ok, error);
}

bool WriteAwaiter::await_suspend(std::coroutine_handle<> h)
{
    handle = h;
    start_io(io_);
    if (slot_)
        slot_->store(&overlapped, std::memory_order_seq_cst);
    const BOOL ok = WriteFile(file_, buffer_, count_, nullptr, &overlapped);
    const DWORD error = ok ? 0 : GetLastError();
    if (error == ERROR_IO_PENDING)
        cancel_if_stopped(file_, stop_);
    return finish_start(io_, ok, error);
}

bool ConnectAwaiter::await_suspend(std::coroutine_handle<> h)
{
    handle = h;
    start_io(io_);
    slot_.store(&overlapped, std::memory_order_seq_cst);
    const BOOL ok = ConnectNamedPipe(pipe_, &overlapped);
    const DWORD error = ok ? 0 : GetLastError();
    if (!ok && error == ERROR_PIPE_CONNECTED) {
        // No operation was started, so no completion comes whatever the notification mode.
        CancelThreadpoolIo(io_.get());
        return false;
    }
    if (!ok && error == ERROR_IO_PENDING) {
        // The completion cannot resume the coroutine before the exchange in finish_start, so
        // the awaiter and the callback stay valid here.
        if (on_pending_ && *on_pending_)
            (*on_pending_)();
        cancel_if_stopped(pipe_, stop_);
    }
    return finish_start(io_, ok, error);
}

} // namespace arpc
