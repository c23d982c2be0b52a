#pragma once
// Mailslot calls made outside the thread-pool I/O machinery, shared by both read paths of
// arpc::Mailslot: one overlapped call waited for on its own event, and the removal of a
// datagram too long for a read.
#include <windows.h>

namespace arpc {

// One overlapped call waited for on its own event. No completion of it reaches a thread-pool
// I/O object bound to the handle (the event's low bit keeps it off the completion port), so
// it is safe on a bound handle too. Returns the call's Win32 result (0 on success, also for
// ERROR_HANDLE_EOF) and stores the bytes moved in transferred.
DWORD transfer_now(HANDLE handle, bool write, void* buffer, DWORD count, DWORD& transferred);

// Called when the next datagram is longer than Mailslot::read_size: reads it and drops it, so
// that a listener that goes on after the failure gets the next datagram instead of failing
// again on this one, then throws hresult_error 0x8007007A as such a read fails. A datagram that
// is already gone, or the failure of the removal, leaves only the throw.
[[noreturn]] void drop_oversized_datagram(HANDLE mailslot);

} // namespace arpc
