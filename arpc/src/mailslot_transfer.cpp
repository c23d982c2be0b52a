#include "mailslot_transfer.h"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "arpc/mailslot.h"
#include "corun/errors.h"
#include "corun/unique_any.h"

namespace arpc {

namespace {

// A new manual-reset event.
corun::details::unique_handle make_event()
{
    corun::details::unique_handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event)
        corun::throw_last_error();
    return event;
}

} // namespace

DWORD transfer_now(HANDLE handle, bool write, void* buffer, DWORD count, DWORD& transferred)
{
    const corun::details::unique_handle done = make_event();
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
