#pragma once
// Overlapped I/O on the Windows thread pool, shared by the pipe transport and the mailslot
// endpoints: the holder of a thread-pool I/O object, the three I/O awaiters and the one
// completion callback that resumes them.
//
// An awaiter lives in the awaiting coroutine's frame and is never moved while its operation is
// pending. Its OVERLAPPED comes first, so the completion callback turns the OVERLAPPED pointer
// it receives back into the awaiter.
//
// Starting an operation (await_suspend): StartThreadpoolIo, publish the OVERLAPPED in the
// caller's slot if one was given, then the overlapped call.
//   - success at once: when the handle skips the completion port on success, no completion will
//     come: CancelThreadpoolIo and continue on this thread; otherwise the completion still
//     comes and the awaiter waits for it like a pending call;
//   - ERROR_IO_PENDING: suspend until the completion callback; when the caller gave a
//     stop (a cancellation token, or the flag of a closing owner) that is set by now, cancel
//     the call first (a cancellation's work that looked at the slot before it was published
//     found nothing to cancel);
//   - any other error: CancelThreadpoolIo and throw (corun::throw_win32_error).
// The starter and the completion callback meet on one atomic flag: whichever comes second
// resumes the coroutine, so the starter may still use the awaiter after the call.
//
// Result (await_resume): an I/O result of 0 or ERROR_HANDLE_EOF is success and yields the
// number of bytes the operation moved (from the callback's bytes_transferred, or from the
// OVERLAPPED's InternalHigh for a success at once); any other code throws
// corun::details::hresult_error with HRESULT_FROM_WIN32 of it, never remapped.

#include <atomic>
#include <coroutine>
#include <functional>
#include <utility>

#include <windows.h>

#include "corun/cancellation.h"
#include "corun/errors.h"

namespace arpc {

// Owns one thread-pool I/O object bound to a handle. The handle itself stays with its owner;
// closing the I/O object does not wait for callbacks, so no operation may be pending then.
class threadpool_io {
public:
    threadpool_io() noexcept = default;
    threadpool_io(const threadpool_io&) = delete;
    threadpool_io& operator=(const threadpool_io&) = delete;
    threadpool_io(threadpool_io&& other) noexcept
        : io_(std::exchange(other.io_, nullptr)), io_owned_(std::exchange(other.io_owned_, false)),
          skips_on_success_(std::exchange(other.skips_on_success_, false))
    {
    }
    threadpool_io& operator=(threadpool_io&& other) noexcept
    {
        if (this != &other) {
            close();
            io_ = std::exchange(other.io_, nullptr);
            io_owned_ = std::exchange(other.io_owned_, false);
            skips_on_success_ = std::exchange(other.skips_on_success_, false);
        }
        return *this;
    }
    ~threadpool_io() { close(); }

    // Asks the handle to skip the completion port on success (remembering whether it agreed),
    // closes an earlier I/O object and binds a new one to arpc::IoCompletionCallback, in the
    // module's callback environment (corun::details::module_callback_environment).
    // A failed CreateThreadpoolIo throws through corun::throw_last_error.
    void bind(HANDLE handle);

    // threadpool_io_close: closes the I/O object if this holder owns one.
    void close() noexcept;

    PTP_IO get() const noexcept { return io_; }
    bool owned() const noexcept { return io_owned_; }
    // False when SetFileCompletionNotificationModes failed: every success then still queues a
    // completion.
    bool skips_on_success() const noexcept { return skips_on_success_; }

private:
    PTP_IO io_ = nullptr;
    bool io_owned_ = false;
    bool skips_on_success_ = false;
};

// The thread-pool I/O callback of every awaiter.
void CALLBACK IoCompletionCallback(PTP_CALLBACK_INSTANCE instance, PVOID context, PVOID overlapped, ULONG io_result,
                                   ULONG_PTR bytes_transferred, PTP_IO io) noexcept;

// co_await goes through this copyable proxy: the awaiter itself is never copied or moved
// (GCC 12 would otherwise copy an awaiter returned by reference from await_transform).
template <class A> struct io_ref {
    A* awaiter;
    bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<> h) { return awaiter->await_suspend(h); }
    DWORD await_resume() const { return awaiter->await_resume(); }
};

// What an awaiter looks at once its call is pending: a cancellation token, or a flag that its
// owner sets before it calls CancelIoEx on the handle (a transport being closed). Either found
// set then makes the awaiter cancel its own call, so a call that was just being started when
// its owner stopped is not left pending.
class io_stop {
public:
    io_stop() noexcept = default;
    io_stop(const corun::details::cancellation_token* token) noexcept : token_(token) {}
    io_stop(const std::atomic<bool>* flag) noexcept : flag_(flag) {}
    bool is_set() const noexcept
    {
        return (token_ && token_->is_cancelled()) || (flag_ && flag_->load(std::memory_order_seq_cst));
    }

private:
    const corun::details::cancellation_token* token_ = nullptr;
    const std::atomic<bool>* flag_ = nullptr;
};

// What every awaiter shares; the OVERLAPPED is the first member of the first base.
struct IoAwaiterBase {
    OVERLAPPED overlapped{};
    DWORD result = 0;
    std::coroutine_handle<> handle;
    DWORD transferred = 0;
    std::atomic<bool> met{false};

    IoAwaiterBase() noexcept = default;
    IoAwaiterBase(const IoAwaiterBase&) = delete;
    IoAwaiterBase& operator=(const IoAwaiterBase&) = delete;

    bool await_ready() const noexcept { return false; }
    // The result rule above: the byte count, or an hresult_error.
    DWORD await_resume() const;

protected:
    // Called right after the overlapped call by await_suspend; returns whether to stay
    // suspended. ok is the call's return value, error its GetLastError when it failed.
    bool finish_start(threadpool_io& io, BOOL ok, DWORD error);
    // Called once the call is pending, before finish_start: a cancellation (or a close) whose
    // work looked at the slot before the OVERLAPPED was published there cancelled nothing, so
    // when stop is set by now the awaiter cancels its own call.
    void cancel_if_stopped(HANDLE file, const io_stop& stop) noexcept;
};

// ReadFile into buffer; slot, when given, receives the OVERLAPPED's address before the call
// (for a CancelIoEx from elsewhere) and is not cleared afterwards. With a stop, a pending
// read is cancelled when the stop is found set after the call has started: an owner that sets
// its flag and then calls CancelIoEx on the handle so ends every call, including one that was
// just being started.
class ReadAwaiter : public IoAwaiterBase {
public:
    ReadAwaiter(HANDLE file, threadpool_io& io, void* buffer, DWORD count, std::atomic<OVERLAPPED*>* slot = nullptr,
                io_stop stop = {}) noexcept
        : file_(file), buffer_(buffer), count_(count), io_(io), slot_(slot), stop_(stop)
    {
    }
    bool await_suspend(std::coroutine_handle<> h);
    io_ref<ReadAwaiter> operator co_await() noexcept { return {this}; }

private:
    HANDLE file_;
    void* buffer_;
    DWORD count_;
    threadpool_io& io_;
    std::atomic<OVERLAPPED*>* slot_;
    io_stop stop_;
};

// WriteFile from buffer; slot and stop as for ReadAwaiter.
class WriteAwaiter : public IoAwaiterBase {
public:
    WriteAwaiter(HANDLE file, threadpool_io& io, const void* buffer, DWORD count,
                 std::atomic<OVERLAPPED*>* slot = nullptr,
                 io_stop stop = {}) noexcept
        : file_(file), buffer_(buffer), count_(count), io_(io), slot_(slot), stop_(stop)
    {
    }
    bool await_suspend(std::coroutine_handle<> h);
    io_ref<WriteAwaiter> operator co_await() noexcept { return {this}; }

private:
    HANDLE file_;
    const void* buffer_;
    DWORD count_;
    threadpool_io& io_;
    std::atomic<OVERLAPPED*>* slot_;
    io_stop stop_;
};

// ConnectNamedPipe on a server pipe instance. The OVERLAPPED's address goes to slot before the
// call. When the connect is pending, on_pending (if set) runs once; then, if stop is given and
// already set, the awaiter cancels its own connect, so a cancellation whose callback
// found the slot still empty is not lost. ERROR_PIPE_CONNECTED (a client came first) completes
// at once without running on_pending.
class ConnectAwaiter : public IoAwaiterBase {
public:
    ConnectAwaiter(HANDLE pipe, threadpool_io& io, std::atomic<OVERLAPPED*>& slot,
                   const std::function<void()>* on_pending,
                   io_stop stop = {}) noexcept
        : pipe_(pipe), slot_(slot), on_pending_(on_pending), io_(io), stop_(stop)
    {
    }
    bool await_suspend(std::coroutine_handle<> h);
    io_ref<ConnectAwaiter> operator co_await() noexcept { return {this}; }

private:
    HANDLE pipe_;
    std::atomic<OVERLAPPED*>& slot_;
    const std::function<void()>* on_pending_;
    threadpool_io& io_;
    io_stop stop_;
};

} // namespace arpc
