#include "arpc/pipe_transport.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "corun/errors.h"

namespace arpc {

using corun::details::future;

namespace {

constexpr long e_timeout = static_cast<long>(0x800705B4UL); // HRESULT_FROM_WIN32(ERROR_TIMEOUT)

[[noreturn]] void throw_end_of_stream()
{
    throw corun::details::hresult_error(corun::details::hresult_from_win32(ERROR_HANDLE_EOF));
}

} // namespace

PipeTransport::PipeTransport() : source_(std::make_shared<corun::details::cancellation_source_body>()) {}

PipeTransport::~PipeTransport()
{
    source_.reset();
    io_.close();
    close_pipe();
}

void PipeTransport::close_pipe() noexcept
{
    HANDLE pipe = pipe_.exchange(INVALID_HANDLE_VALUE, std::memory_order_acq_rel);
    if (pipe != INVALID_HANDLE_VALUE)
        CloseHandle(pipe);
}

void PipeTransport::replace_pipe(HANDLE pipe) noexcept
{
    close_pipe();
    pipe_.store(pipe, std::memory_order_release);
    closed_.store(false, std::memory_order_seq_cst);
}

HANDLE PipeTransport::usable_pipe() const
{
    const HANDLE pipe = Handle();
    if (pipe == INVALID_HANDLE_VALUE || closed_.load(std::memory_order_seq_cst))
        corun::throw_error(E_FAIL);
    return pipe;
}

void PipeTransport::SetCancellationToken(const corun::details::cancellation_source& owner)
{
    auto source = std::make_shared<corun::details::cancellation_source_body>();
    owner.body()->add_child(source);
    source_ = std::move(source);
}

void PipeTransport::Cancel() noexcept
{
    source_->cancel();
}

void PipeTransport::Close() noexcept
{
    HANDLE pipe = Handle();
    if (is_server_) {
        if (pipe != INVALID_HANDLE_VALUE) {
            FlushFileBuffers(pipe);
            DisconnectNamedPipe(pipe);
        }
        return;
    }
    // First the flag, then the cancel: an I/O start that read the flag clear has issued its
    // call by the time it looks again, and either this cancel or its own look ends that call.
    closed_.store(true, std::memory_order_seq_cst);
    if (pipe != INVALID_HANDLE_VALUE)
        CancelIoEx(pipe, nullptr);
}

void PipeTransport::BindThreadpoolIo()
{
    io_.bind(Handle());
}

long PipeTransport::Connect(std::wstring_view server, std::wstring_view name, std::uint32_t wait_ms,
                            std::uint32_t attempts)
{
    std::wstring path = L"\\\\";
    path.append(server).append(L"\\pipe\\").append(name);
    while (attempts != 0) {
        --attempts;
        HANDLE opened = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        const DWORD open_error = opened == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        replace_pipe(opened);
        if (opened != INVALID_HANDLE_VALUE) {
            DWORD mode = PIPE_READMODE_BYTE;
            if (!SetNamedPipeHandleState(opened, &mode, nullptr, nullptr)) {
                const long hr = corun::details::hresult_from_win32(GetLastError());
                close_pipe();
                return hr;
            }
            is_server_ = false;
            try {
                BindThreadpoolIo();
            } catch (const corun::details::hresult_error& error) {
                close_pipe();
                return error.code();
            }
            return S_OK;
        }
        // Only a pipe whose instances are all busy is worth waiting for; a missing pipe, a
        // refused open or an unknown host will not change by waiting.
        if (open_error != ERROR_PIPE_BUSY)
            return corun::details::hresult_from_win32(open_error);
        if (!WaitNamedPipeW(path.c_str(), wait_ms)) {
            const DWORD wait_error = GetLastError();
            if (wait_error != ERROR_SEM_TIMEOUT)
                return corun::details::hresult_from_win32(wait_error);
        }
    }
    return e_timeout;
}

future<void> PipeTransport::read_piece(std::byte* buffer, DWORD count)
{
    DWORD done = 0;
    while (done < count) {
        const HANDLE pipe = usable_pipe();
        co_await corun::details::check_cancelled{};
        const DWORD moved = co_await ReadAwaiter(pipe, io_, buffer + done, count - done, nullptr, &closed_);
        if (moved == 0)
            throw_end_of_stream();
        done += moved;
    }
}

future<void> PipeTransport::write_piece(const std::byte* buffer, DWORD count)
{
    DWORD done = 0;
    while (done < count) {
        const HANDLE pipe = usable_pipe();
        co_await corun::details::check_cancelled{};
        const DWORD moved = co_await WriteAwaiter(pipe, io_, buffer + done, count - done, nullptr, &closed_);
        if (moved == 0)
            throw corun::details::hresult_error(corun::details::hresult_from_win32(ERROR_NO_DATA));
        done += moved;
    }
}

future<std::shared_ptr<message_t>> PipeTransport::Read()
{
    usable_pipe();
    Message header{};
    co_await corun::details::check_cancelled{};
    co_await read_piece(reinterpret_cast<std::byte*>(&header), header_size);
    auto message = AllocateMessage(header.length);
    std::memcpy(message.get(), &header, header_size);
    auto result = std::make_shared<message_t>(message_t{message});
    if (header.length != 0)
        co_await ReadExact(message->payload(), header.length);
    co_return result;
}

future<void> PipeTransport::ReadExact(std::byte* buffer, std::uint64_t n)
{
    std::uint64_t piece = std::min<std::uint64_t>(n, first_payload_piece);
    while (n != 0) {
        co_await read_piece(buffer, static_cast<DWORD>(piece));
        buffer += piece;
        n -= piece;
        piece = std::min<std::uint64_t>(n, write_chunk);
    }
}

future<void> PipeTransport::Write(std::shared_ptr<Message> message)
{
    usable_pipe();
    {
        // Every piece of this frame goes out before any byte of the next one.
        auto turn = co_await writers_.enter();
        const std::byte* cursor = reinterpret_cast<const std::byte*>(message.get());
        std::uint64_t remaining = message->total();
        while (remaining != 0) {
            const DWORD piece = static_cast<DWORD>(std::min<std::uint64_t>(remaining, write_chunk));
            co_await corun::details::check_cancelled{};
            co_await write_piece(cursor, piece);
            cursor += piece;
            remaining -= piece;
        }
    } // the turn passes on before this write's caller is resumed
}

} // namespace arpc
