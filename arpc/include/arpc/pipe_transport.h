#pragma once
// A message transport over a byte-mode named pipe opened for overlapped I/O and bound to the
// thread pool. The client half opens "\\<server>\pipe\<name>"; the server half creates pipe
// instances and waits for clients.
//
// Reads and writes go in pieces: a frame is written in requests of at most 65,536 bytes, and
// a payload is read as 65,524 bytes (what follows the header in the writer's first request)
// then pieces of at most 65,536. A piece that comes back short is continued until it is full;
// a read that reaches the end of the stream fails (HRESULT_FROM_WIN32(ERROR_HANDLE_EOF) when a
// read moves no bytes), so no message is ever delivered in part.
//
// One Read at a time. Writes may be started from several threads at once: they go out one
// frame at a time, in the order in which they were started, so that the pieces of two frames
// never mix on the pipe.
//
// Close on a client cancels the transport's I/O and refuses any later Read or Write (E_FAIL);
// a Read or Write that was just being started then fails too. The handle itself stays open
// until the destructor, so that no I/O of this transport can reach a handle value that the
// system has meanwhile given to another pipe.
#include <atomic>
#include <memory>

#include <windows.h>

#include "arpc/io.h"
#include "arpc/transport.h"
#include "arpc/writer_queue.h"

namespace arpc {

inline constexpr std::uint32_t write_chunk = 0x10000;
inline constexpr std::uint32_t first_payload_piece = write_chunk - header_size;

class PipeTransport final : public ITransport {
public:
    PipeTransport();
    ~PipeTransport();

    void SetCancellationToken(const corun::details::cancellation_source& owner) override;
    const std::shared_ptr<corun::details::cancellation_source_body>& GetCancellationToken() const noexcept override
    {
        return source_;
    }
    void Cancel() noexcept override;
    void Close() noexcept override;
    corun::details::future<std::shared_ptr<message_t>> Read() override;
    corun::details::future<void> Write(std::shared_ptr<Message> message) override;
    long Listen(std::wstring_view name, security_descriptor& descriptor) override;
    corun::details::future<unsigned long> WaitClient(std::function<void()> first, std::function<void()> second) override;
    long ImpersonateClient() override;
    long RevertToSelf() override;
    CToken GetClientToken(std::uint32_t desired_access, bool keep_impersonating, bool open_as_self) override;
    // Retries only while every instance is busy (ERROR_PIPE_BUSY); any other open error is
    // returned at once as its HRESULT; 0x800705B4 when no attempt opened the pipe.
    long Connect(std::wstring_view server, std::wstring_view name, std::uint32_t wait_ms,
                 std::uint32_t attempts) override;

    // Binds the held pipe to the thread pool; throws corun::details::hresult_error on failure.
    void BindThreadpoolIo();

    // Reads exactly n payload bytes into buffer in the pieces described above.
    corun::details::future<void> ReadExact(std::byte* buffer, std::uint64_t n);

    // The pipe handle, for code that must write raw bytes (test servers).
    HANDLE Handle() const noexcept { return pipe_.load(std::memory_order_acquire); }

private:
    corun::details::future<void> read_piece(std::byte* buffer, DWORD count);
    corun::details::future<void> write_piece(const std::byte* buffer, DWORD count);
    // The pipe for the next piece; E_FAIL when there is none or the transport is closed.
    HANDLE usable_pipe() const;
    // Stores a newly opened or created handle, closing the one held before.
    void replace_pipe(HANDLE pipe) noexcept;
    void close_pipe() noexcept;

    std::atomic<HANDLE> pipe_{INVALID_HANDLE_VALUE};
    // Set by Close on a client; read by every I/O start, on any thread.
    std::atomic<bool> closed_{false};
    threadpool_io io_;
    writer_queue writers_;
    std::shared_ptr<corun::details::cancellation_source_body> source_;
    bool is_server_ = false;
};

} // namespace arpc
