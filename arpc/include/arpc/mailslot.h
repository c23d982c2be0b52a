#pragma once
// Datagram endpoints over Windows mailslots: a server endpoint receives messages, a client
// endpoint sends them to a mailslot of the same name on one host or every host of the
// primary domain. Reads and writes are overlapped calls completed on the thread pool and
// handed back as futures; the endpoint's cancellation source cancels a call in flight.
//
// Use: construct; CreateServer or OpenClient; SetCancellationToken; then one Read (server) or
// Write (client) at a time. Destroy only when no operation is pending. Not copied or moved.
#include <atomic>
#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

#include <windows.h>

#include "arpc/io.h"
#include "corun/cancellation.h"
#include "corun/future.h"

namespace arpc {

class Mailslot {
public:
    // Size of the read buffer: a message must fit in it.
    static constexpr DWORD read_size = 1024;

    // Selects the polling reader even where the handle could be bound to the thread pool.
    struct force_polling_t {};

    Mailslot();
    explicit Mailslot(force_polling_t);
    Mailslot(const Mailslot&) = delete;
    Mailslot& operator=(const Mailslot&) = delete;
    ~Mailslot();

    // "\\.\mailslot\<name>": any message size, reads wait until a message comes. The caller
    // builds the security attributes (may be null). S_OK or HRESULT_FROM_WIN32 of the failure.
    HRESULT CreateServer(std::wstring_view name, SECURITY_ATTRIBUTES* security);
    // "\\<host>\mailslot\<name>"; host "*" names every host of the primary domain.
    HRESULT OpenClient(std::wstring_view host, std::wstring_view name);

    // Makes the endpoint's source a child of the owner's, so that cancelling the owner ends
    // every read or write in flight. An owner already cancelled leaves the new source as is.
    void SetCancellationToken(const corun::details::cancellation_source& owner);

    // One message. A message longer than read_size fails with 0x8007007A and is dropped, so
    // the next read gets the message after it; a read cancelled while pending fails with
    // 0x800703E3; a cancelled source before the start with operation_cancelled.
    corun::details::future<std::vector<std::byte>> Read();
    // The number of bytes the system reports written.
    corun::details::future<unsigned long> Write(std::vector<std::byte> data);

    // True when the handle is bound to the thread pool (the polling reader is used otherwise).
    bool bound_to_thread_pool() const noexcept { return bound_; }

private:
    // Keeps a newly opened handle (closing the one held before) and binds it, or reports the
    // error of the failed open.
    HRESULT adopt(HANDLE opened, DWORD error, bool server);
    // A read's or write's cancellation work, run on a thread-pool thread: cancels the call
    // whose OVERLAPPED the operation's pending slot holds, at most once per call.
    static void cancel_io(HANDLE handle, std::atomic<OVERLAPPED*>& pending) noexcept;
    // The calls of a handle that is not bound to the thread pool.
    static corun::details::future<std::vector<std::byte>>
    read_polled(HANDLE handle, std::shared_ptr<corun::details::cancellation_source_body> source);
    static corun::details::future<unsigned long>
    write_unbound(HANDLE handle, std::vector<std::byte> data,
                  std::shared_ptr<corun::details::cancellation_source_body> source);

    HANDLE handle_ = INVALID_HANDLE_VALUE;
    threadpool_io io_;
    corun::details::cancellation_source cancellation_;
    bool bound_ = false;
    bool force_polling_ = false;
};

} // namespace arpc
