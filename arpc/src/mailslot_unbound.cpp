#include "arpc/mailslot.h"

#include <coroutine>
#include <memory>
#include <optional>
#include <utility>

#include "corun/errors.h"
#include "corun/thread_pool.h"
#include "mailslot_transfer.h"

namespace arpc {

using corun::details::cancellation_source_body;
using corun::details::cancellation_token;
using corun::details::future;
using corun::details::hresult_error;
using corun::details::hresult_from_win32;
using corun::details::operation_cancelled;

namespace {

// How often the polling reader looks for a message and for a cancellation.
constexpr DWORD poll_interval_ms = 10;

// A Win32 code of a failed operation, raised without the cancellation mapping of
// throw_win32_error (an aborted call stays 0x800703E3).
[[noreturn]] void throw_io_result(DWORD code)
{
    throw hresult_error(hresult_from_win32(code));
}

// Owns a one-shot thread-pool timer that resumes a coroutine. Closing it from inside its own
// callback (the resumed coroutine ends there) is allowed: the system frees it afterwards.
class poll_timer {
public:
    poll_timer() : timer_(CreateThreadpoolTimer(&poll_timer::fire, this, corun::details::module_callback_environment()))
    {
        if (!timer_)
            corun::throw_last_error();
    }
    poll_timer(const poll_timer&) = delete;
    poll_timer& operator=(const poll_timer&) = delete;
    ~poll_timer()
    {
        SetThreadpoolTimer(timer_, nullptr, 0, 0);
        CloseThreadpoolTimer(timer_);
    }

    struct awaiter {
        poll_timer& timer;
        DWORD ms;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> h) noexcept
        {
            timer.waiting_ = h;
            ULARGE_INTEGER due;
            due.QuadPart = static_cast<ULONGLONG>(-static_cast<LONGLONG>(ms) * 10000);
            FILETIME relative{due.LowPart, due.HighPart};
            SetThreadpoolTimer(timer.timer_, &relative, 0, 0);
        }
        void await_resume() const noexcept {}
    };
    awaiter after(DWORD ms) noexcept { return {*this, ms}; }

private:
    static void CALLBACK fire(PTP_CALLBACK_INSTANCE, void* context, PTP_TIMER) noexcept
    {
        static_cast<poll_timer*>(context)->waiting_.resume();
    }

    PTP_TIMER timer_;
    std::coroutine_handle<> waiting_;
};

} // namespace

// Where the handle cannot be bound to the thread pool, a read looks for a message on a
// thread-pool timer instead of waiting in an overlapped call that would block its thread;
// a cancellation is noticed at the next look and ends the read as an aborted call would.

future<std::vector<std::byte>> Mailslot::read_polled(HANDLE handle, std::shared_ptr<cancellation_source_body> source)
{
    std::vector<std::byte> buffer(Mailslot::read_size);
    if (source->is_cancelled())
        throw operation_cancelled();
    cancellation_token token(source);
    if (token.is_cancelled())
        throw operation_cancelled();
    std::optional<poll_timer> timer; // made only when the read has to wait
    for (;;) {
        if (token.is_cancelled())
            throw_io_result(ERROR_OPERATION_ABORTED);
        DWORD next = MAILSLOT_NO_MESSAGE;
        if (!GetMailslotInfo(handle, nullptr, &next, nullptr, nullptr))
            corun::throw_last_error();
        if (next != MAILSLOT_NO_MESSAGE) {
            // Some systems cut a datagram too long for the buffer instead of refusing it: it
            // is looked at before it is read.
            if (next > Mailslot::read_size)
                drop_oversized_datagram(handle);
            DWORD count = 0;
            const DWORD result = transfer_now(handle, false, buffer.data(), Mailslot::read_size, count);
            // Some systems fail the read of a waiting empty message with ERROR_BROKEN_PIPE
            // (and take it out); it is still an empty message.
            if (result == ERROR_SUCCESS || (next == 0 && result == ERROR_BROKEN_PIPE)) {
                buffer.resize(result == ERROR_SUCCESS ? count : 0);
                co_return buffer;
            }
            // ERROR_SEM_TIMEOUT: the message went elsewhere after all; look again later.
            if (result != ERROR_SEM_TIMEOUT) {
                if (result == ERROR_CANCELLED)
                    throw operation_cancelled();
                throw_io_result(result);
            }
        }
        if (!timer)
            timer.emplace();
        co_await timer->after(poll_interval_ms);
    }
}

// A mailslot write never waits for a reader: without a thread-pool binding it is made at once.
future<unsigned long> Mailslot::write_unbound(HANDLE handle, std::vector<std::byte> data,
                                              std::shared_ptr<cancellation_source_body> source)
{
    if (source->is_cancelled())
        throw operation_cancelled();
    cancellation_token token(source);
    if (token.is_cancelled())
        throw operation_cancelled();
    DWORD count = 0;
    const DWORD result = transfer_now(handle, true, data.data(), static_cast<DWORD>(data.size()), count);
    if (result == ERROR_CANCELLED)
        throw operation_cancelled();
    if (result != ERROR_SUCCESS)
        throw_io_result(result);
    co_return static_cast<unsigned long>(count);
}

} // namespace arpc
