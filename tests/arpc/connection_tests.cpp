#include <atomic>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../corun/allocation_probe.h"
#include "connection_helpers.h"
#include "corun/unique_any.h"
#include "fake_transport.h"
#include "../support/pool_refusal.h"

namespace {

struct event {
    corun::details::unique_handle h{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    void set() { SetEvent(h.get()); }
    bool wait(DWORD ms) { return WaitForSingleObject(h.get(), ms) == WAIT_OBJECT_0; }
};

// Awaits f and sets done on every way out, so that a test can bound its wait.
template <class T> corun::details::future<T> signalling(corun::details::future<T> f, event& done)
{
    struct set_on_exit {
        event& e;
        ~set_on_exit() { e.set(); }
    } guard{done};
    co_return co_await f;
}

// Awaits a call and then destroys its connection, as the remote query does.
corun::details::future<bytes> call_then_destroy(std::unique_ptr<client_connection>& connection, event& done)
{
    struct set_on_exit {
        event& e;
        ~set_on_exit() { e.set(); }
    } guard{done};
    auto call = connection->Call(2, {});
    std::exception_ptr failure;
    bytes reply;
    try {
        reply = co_await call;
    } catch (...) {
        failure = std::current_exception();
    }
    connection.reset();
    if (failure)
        std::rethrow_exception(failure);
    co_return reply;
}

struct ConnectionFixture : ::testing::Test {
    std::shared_ptr<fake_transport> transport = std::make_shared<fake_transport>();
    IClient_Remote local;
    std::unique_ptr<client_connection> connection = client_connection::Create(&local, transport, false);
};

constexpr long broken_pipe = static_cast<long>(0x8007006DUL);
constexpr long aborted = static_cast<long>(0x800703E3UL);

} // namespace

using Connection = ConnectionFixture;

TEST_F(Connection, FirstCallsAreNumberedFromZeroWithClientMarker)
{
    auto first = connection->GetSharedPorts();
    auto second = connection->Call(7, to_bytes({0xAA}));
    auto written = transport->wait_written(2);
    EXPECT_EQ(frame_bytes(*written[0]), to_bytes({0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(frame_bytes(*written[1]), to_bytes({1, 0, 0, 0, 1, 0, 7, 0, 1, 0, 0, 0, 0xAA}));
    transport->deliver(reply_to(*written[1], to_bytes({5})));
    EXPECT_EQ(corun::details::wait_get(second), to_bytes({5}));
    transport->deliver(reply_to(*written[0], to_bytes({0, 0, 0, 0})));
    EXPECT_TRUE(corun::details::wait_get(first).empty());
}

TEST_F(Connection, ReplyBeforeWriteCompletesStillCompletesCall)
{
    transport->hold_writes();
    auto call = connection->Call(1, to_bytes({1, 2, 3, 4}));
    auto written = transport->wait_written(1);
    transport->deliver(reply_to(*written[0], to_bytes({9, 9})));
    EXPECT_FALSE(call.ready());
    transport->release_writes();
    EXPECT_EQ(corun::details::wait_get(call), to_bytes({9, 9}));
}

TEST_F(Connection, CallerIsResumedOffTheReadLoopThread)
{
    std::atomic<DWORD> thread{0};
    auto call = resumed_on(connection->Call(2, {}), &thread);
    auto written = transport->wait_written(1);
    // The read loop runs on this thread while deliver completes its Read.
    transport->deliver(reply_to(*written[0], to_bytes({1})));
    EXPECT_EQ(corun::details::wait_get(call), to_bytes({1}));
    EXPECT_NE(thread.load(), GetCurrentThreadId());
}

TEST_F(Connection, UnknownDuplicateAndDroppedMessagesChangeNothing)
{
    auto call = connection->Call(3, {});
    auto written = transport->wait_written(1);
    auto unknown = reply_to(*written[0], to_bytes({1}));
    unknown->call_id = 77;
    transport->deliver(unknown);
    auto dropped = arpc::BuildCall(0, arpc::origin_dropped, 3, bytes(70000, std::byte{0x11}));
    transport->deliver(dropped);
    transport->deliver(reply_to(*written[0], to_bytes({2})));
    EXPECT_EQ(corun::details::wait_get(call), to_bytes({2}));

    // A second reply with the same id finds nothing; the next call gets its own reply.
    transport->deliver(reply_to(*written[0], to_bytes({3})));
    auto next = connection->Call(3, {});
    written = transport->wait_written(2);
    EXPECT_EQ(written[1]->call_id, 1u);
    transport->deliver(reply_to(*written[1], to_bytes({4})));
    EXPECT_EQ(corun::details::wait_get(next), to_bytes({4}));
    EXPECT_EQ(transport->written_count(), 2u);
}

TEST_F(Connection, IncomingCallGetsNoReplyAndInFlightCountReturnsToZero)
{
    auto call = connection->Call(0, {});
    auto written = transport->wait_written(1);
    for (std::uint16_t method : {0, 3, 0xFFFE})
        transport->deliver(arpc::BuildCall(5, arpc::origin_server, method, to_bytes({1, 2, 3, 4})));
    // Messages are handled in order: once the reply has completed the call, the incoming
    // calls have been served.
    transport->deliver(reply_to(*written[0], to_bytes({0, 0, 0, 0})));
    corun::details::wait_get(call);
    EXPECT_EQ(connection->core().in_flight(), 0u);
    EXPECT_EQ(transport->written_count(), 1u);
}

TEST_F(Connection, PeerClosingFailsPendingAndLaterCallsWithTheReadError)
{
    std::atomic<DWORD> thread{0};
    auto call = resumed_on(connection->GetSharedPorts(), &thread);
    transport->wait_written(1);
    transport->end_stream(broken_pipe);
    EXPECT_EQ(failure_of(call), broken_pipe);
    EXPECT_NE(thread.load(), GetCurrentThreadId());
    EXPECT_EQ(failure_of(connection->Call(1, {})), broken_pipe);
    EXPECT_EQ(transport->written_count(), 1u);
    auto& end = *connection->core().end_result();
    corun::details::wait_until_ready(end);
    EXPECT_EQ(std::get<2>(end.result), broken_pipe);
}

TEST_F(Connection, PeerClosingFailsEveryPendingCallEvenWithNoMemoryToSpare)
{
    // The read loop ends on this thread, inside end_stream; here no block as large as a list
    // of the pending calls can be had. The calls must not wait for the connection's end.
    constexpr std::size_t count = 256;
    std::vector<event> done(count);
    std::vector<corun::details::future<bytes>> calls;
    for (std::size_t i = 0; i < count; ++i)
        calls.push_back(signalling(connection->Call(1, {}), done[i]));
    refused_allocation_size = count * sizeof(std::shared_ptr<bytes>);
    transport->end_stream(broken_pipe);
    refused_allocation_size = std::numeric_limits<std::size_t>::max();
    for (std::size_t i = 0; i < count; ++i) {
        ASSERT_TRUE(done[i].wait(10000)) << "call " << i << " was not failed";
        EXPECT_EQ(failure_of(calls[i]), broken_pipe);
    }
}

TEST_F(Connection, DestroyingConnectionFailsWaitingCallWithAborted)
{
    auto call = connection->Call(4, {});
    transport->wait_written(1);
    auto end = connection->core().end_result();
    connection.reset();
    EXPECT_TRUE(transport->closed());
    EXPECT_EQ(failure_of(call), aborted);
    ASSERT_TRUE(end->ready());
    EXPECT_EQ(std::get<2>(end->result), S_OK);
}

TEST_F(Connection, DestroyingIdleConnectionEndsTheReadLoop)
{
    auto end = connection->core().end_result();
    connection.reset();
    EXPECT_TRUE(transport->closed());
    ASSERT_TRUE(end->ready());
    EXPECT_EQ(std::get<2>(end->result), S_OK);
}

TEST_F(Connection, DestructionWaitsUntilACallsPendingWriteHasEnded)
{
    transport->hold_writes();
    auto call = connection->Call(1, {});
    transport->wait_written(1);
    event destroyed;
    std::thread destroyer([&] {
        connection.reset();
        destroyed.set();
    });
    // The call's failure path still uses the connection: it must outlive the write.
    EXPECT_FALSE(destroyed.wait(200));
    transport->release_writes(broken_pipe);
    destroyer.join();
    EXPECT_EQ(failure_of(call), broken_pipe);
}

TEST_F(Connection, WrappedCallNumbersSkipThoseStillPending)
{
    auto zero = connection->Call(1, to_bytes({10}));
    connection->core().set_next_call_id(0xFFFFFFFFu);
    auto last = connection->Call(1, to_bytes({11}));
    auto wrapped = connection->Call(1, to_bytes({12}));
    auto written = transport->wait_written(3);
    EXPECT_EQ(written[1]->call_id, 0xFFFFFFFFu);
    // Number 0 still waits for its reply.
    ASSERT_EQ(written[2]->call_id, 1u);
    for (int i : {2, 0, 1})
        transport->deliver(reply_to(*written[i], to_bytes({20 + i})));
    EXPECT_EQ(corun::details::wait_get(wrapped), to_bytes({22}));
    EXPECT_EQ(corun::details::wait_get(zero), to_bytes({20}));
    EXPECT_EQ(corun::details::wait_get(last), to_bytes({21}));
}

TEST_F(Connection, FailedWriteFailsTheCallWithTheTransportError)
{
    transport->fail_writes(E_FAIL);
    EXPECT_EQ(failure_of(connection->Call(1, {})), E_FAIL);
}

TEST(ConnectionRace, RepliesRacingDestructionNeverHangOrLoseACall)
{
    for (int round = 0; round < 50; ++round) {
        auto transport = std::make_shared<fake_transport>();
        IClient_Remote local;
        auto connection = client_connection::Create(&local, transport, false);
        auto call = connection->Call(0, {});
        auto written = transport->wait_written(1);
        std::thread replier([&] { transport->deliver(reply_to(*written[0], to_bytes({round & 0xFF}))); });
        connection.reset();
        replier.join();
        const long hr = failure_of(call);
        EXPECT_TRUE(hr == S_OK || hr == aborted) << std::hex << hr;
    }
}

TEST(ConnectionPoolRefusal, NoCallIsLeftWaitingAndNoThreadWaitsOnItself)
{
    IClient_Remote local;
    // The loop's very first hop: the loop ends at once and every call fails with the pool's
    // error instead of waiting for a reply that nothing reads.
    {
        auto transport = std::make_shared<fake_transport>();
        std::unique_ptr<client_connection> connection;
        {
            pool_refusal refusal;
            connection = client_connection::Create(&local, transport, false);
        }
        event done;
        auto call = signalling(connection->Call(1, {}), done);
        ASSERT_TRUE(done.wait(10000));
        EXPECT_EQ(failure_of(call), pool_refusal::error);
    }
    // The hop that hands a reply to its caller, and the one that fails the calls when the peer
    // goes: the caller still gets its result, on the loop's thread once the loop has ended, so
    // that it can destroy the connection there.
    for (const bool replied : {true, false}) {
        auto transport = std::make_shared<fake_transport>();
        auto connection = client_connection::Create(&local, transport, false);
        event done;
        auto call = call_then_destroy(connection, done);
        auto written = transport->wait_written(1);
        {
            pool_refusal refusal;
            if (replied)
                transport->deliver(reply_to(*written[0], to_bytes({7})));
            else
                transport->end_stream(broken_pipe);
            ASSERT_TRUE(done.wait(10000)) << (replied ? "reply" : "end of stream");
        }
        if (replied)
            EXPECT_EQ(corun::details::wait_get(call), to_bytes({7}));
        else
            EXPECT_EQ(failure_of(call), broken_pipe);
        EXPECT_FALSE(connection);
    }
}
