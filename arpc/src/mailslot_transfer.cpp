#include "mailslot_transfer.h"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "arpc/mailslot.h"
#include "corun/errors.h"

namespace arpc {

namespace {

// Owns one manual-reset event.
class unique_event {
public:
    unique_event() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        if (!event_)
            corun::throw_last_error();
    }
    unique_event(const unique_event&) = delete;
    unique_event& operator=(const unique_event&) = delete;
    ~unique_event() { CloseHandle(event_); }
    HANDLE get() const noexcept { return event_; }

private:
    HANDLE event_;
};

} // namespace

DWORD transfer_now(HANDLE handle, bool write, void* buffer, DWORD count, DWORD& transferred)
{
    unique_event done;
    OVERLAPPED overlapped{};
    overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<std::uintptr_t>(done.get()) | 1);
    const BOOL ok = write ? WriteFile(handle, buffer, count, nullptr, &overlapped)
                          : ReadFile(handle, buffer, count, nullptr, &overlapped);
    if (!ok) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING)
            return error == ERROR_HANDLE_EOF ? 0 : error;
    }
    DWORD moved = 0;
    if (!GetOverlappedResult(handle, &overlapped, &moved, TRUE)) {
        const DWORD error = GetLastError();
        if (error != ERROR_HANDLE_EOF)
            return error;
    }
    transferred = static_cast<DWORD>(overlapped.InternalHigh);
    return 0;
}

void drop_oversized_datagram(HANDLE mailslot)
{
    DWORD next = MAILSLOT_NO_MESSAGE;
    if (GetMailslotInfo(mailslot, nullptr, &next, nullptr, nullptr) && next != MAILSLOT_NO_MESSAGE &&
        next > Mailslot::read_size) {
        std::vector<std::byte> discarded(next);
        DWORD ignored = 0;
        (void)transfer_now(mailslot, false, discarded.data(), next, ignored);
    }
    throw corun::details::hresult_error(corun::details::hresult_from_win32(ERROR_INSUFFICIENT_BUFFER));
}

} // namespace arpc
