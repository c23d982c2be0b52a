#pragma once
// A two-way request/reply RPC over one message transport. Outgoing calls are numbered and wait
// for the reply with their number; one read loop on the thread pool reads every message, hands
// replies to the waiting calls and serves the peer's calls through the connection's stub.
//
// Callers of Call are resumed on a thread-pool thread, never on the read loop's while the loop
// still runs. When the read loop ends, every pending call and every later call fails with the
// loop's end error (the read's HRESULT, or 0x800703E3 once the connection is being destroyed).
// Should the thread pool refuse a hop, the loop ends with the pool's error: the reply it was
// delivering still completes its call, and the callers the pool would not take are resumed on
// the loop's thread once the loop has finished, so that one of them may destroy the connection.
// The destructor closes the transport and blocks until the read loop, every incoming call and
// every call's write have ended.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <unordered_map>
#include <vector>

#include "arpc/message.h"
#include "arpc/transport.h"
#include "corun/future.h"
#include "corun/latch.h"
#include "corun/srw_lock.h"

namespace arpc {

using bytes = std::vector<std::byte>;
using pending_call = corun::details::promise_type_<bytes>;

// Where a connection's incoming calls go.
class IConnection {
public:
    virtual corun::details::future<bytes> HandleCall(std::uint16_t method_id, bytes payload) = 0;

protected:
    ~IConnection() = default;
};

// Parameter of generated stubs: how a stub's replies are written. The connection writes every
// reply itself, so the stubs use nothing of it.
struct Writer {};

// The state that calls, the read loop and shutdown work on. Not copied or moved.
class ConnectionCore {
public:
    ConnectionCore(std::shared_ptr<ITransport> transport, IConnection* owner, bool is_server);
    ConnectionCore(const ConnectionCore&) = delete;
    ConnectionCore& operator=(const ConnectionCore&) = delete;

    // Starts the read loop; it continues on the thread pool.
    void Start();
    corun::details::future<bytes> Call(std::uint16_t method_id, bytes arguments);
    void SetClosing() noexcept { closing_.store(true, std::memory_order_release); }
    // Sets closing, closes the transport, waits for the read loop, fails what is still
    // pending with 0x800703E3 and waits until no incoming call is being served and no call's
    // write is in flight.
    void Shutdown() noexcept;

    std::uint16_t origin() const noexcept { return origin_; }
    // Completed with the HRESULT that ended the read loop on a transport error (S_OK when the
    // connection was closing); stays empty when the loop ended otherwise.
    const std::shared_ptr<corun::details::promise_type_<long>>& end_result() const noexcept { return end_result_; }
    std::uint32_t in_flight() noexcept { return in_flight_.count(); }
    // Where call numbering goes on (tests reach the wrap of the 32-bit numbers with it).
    void set_next_call_id(std::uint32_t id) noexcept { next_call_id_.store(id, std::memory_order_relaxed); }

private:
    using pending_map = std::unordered_map<std::uint32_t, std::shared_ptr<pending_call>>;
    // Calls whose waiters the thread pool refused to take; see ReadLoop.
    struct refused_waiters;

    corun::details::future<void> ReadLoop();
    corun::details::future<void> ProcessRequest(std::shared_ptr<message_t> request);
    // Ends the loop on error: records the end result and returns what pending and later calls
    // fail with.
    std::exception_ptr EndLoop(const corun::details::hresult_error& error);
    // Records why the loop ended and fails every pending call with it; the calls whose waiters
    // the pool refused go to refused.
    void EndCalls(std::exception_ptr error, refused_waiters& refused) noexcept;

    std::shared_ptr<ITransport> transport_;
    IConnection* owner_;
    std::atomic<std::uint32_t> next_call_id_{0};
    std::atomic<bool> running_{true};
    std::atomic<bool> closing_{false};
    std::uint16_t origin_;
    corun::details::srw_lock pending_lock_;
    pending_map pending_;
    std::exception_ptr ended_; // set under pending_lock_ when the read loop has ended
    std::shared_ptr<corun::details::promise_type_<long>> end_result_;
    corun::details::future<void> read_loop_;
    corun::details::latch in_flight_;
    // Calls whose message is being written; each still uses this core should its write fail.
    corun::details::latch writes_;
};

// ClientProxy<Connection> is the proxy of the peer's interface; ServerStub<Connection, Writer>
// serves the peer's calls (Dispatch) and names the creator's local object type (remote_type).
template <template <class> class ClientProxy, template <class, class> class ServerStub>
class Connection : public ClientProxy<Connection<ClientProxy, ServerStub>>,
                   public ServerStub<Connection<ClientProxy, ServerStub>, Writer>,
                   public IConnection {
    using stub = ServerStub<Connection<ClientProxy, ServerStub>, Writer>;

public:
    using local_type = typename stub::remote_type;

    static std::unique_ptr<Connection> Create(local_type* local, std::shared_ptr<ITransport> transport, bool is_server)
    {
        std::unique_ptr<Connection> connection(new Connection(local, std::move(transport), is_server));
        connection->core_.Start();
        return connection;
    }

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    ~Connection()
    {
        // Closing first, so that the read error the close causes reports S_OK.
        core_.SetClosing();
        if (transport_) {
            transport_->Close();
            transport_.reset();
        }
        core_.Shutdown();
    }

    corun::details::future<bytes> Call(std::uint16_t method_id, bytes arguments)
    {
        return core_.Call(method_id, std::move(arguments));
    }

    corun::details::future<bytes> HandleCall(std::uint16_t method_id, bytes payload) override
    {
        return stub::Dispatch(method_id, std::move(payload));
    }

    ConnectionCore& core() noexcept { return core_; }
    local_type* local() const noexcept { return local_; }

private:
    Connection(local_type* local, std::shared_ptr<ITransport> transport, bool is_server)
        : core_(transport, this, is_server), local_(local), transport_(std::move(transport))
    {
    }

    ConnectionCore core_;
    local_type* local_;
    std::shared_ptr<ITransport> transport_;
};

} // namespace arpc
