#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "arpc/pipe_transport.h"
#include "pipe_test_support.h"
#include "server/sim_server_process.h"

namespace {

constexpr long bad_reply = static_cast<long>(0x8007000DUL);
constexpr long aborted = static_cast<long>(0x800703E3UL);
// The simulated server's own method: how many frames that were not calls it got from us.
constexpr std::uint16_t sim_report_method = 0x7FFF;

// Runs wharf_sim_server (beside this program) on a pipe of its own until destroyed.
class sim_server {
public:
    explicit sim_server(const std::wstring& arguments)
        : pipe(unique_pipe_name("sim")), process_(L"--pipe " + pipe + L" " + arguments)
    {
    }

    std::unique_ptr<client_connection> connect()
    {
        auto transport = std::make_shared<arpc::PipeTransport>();
        EXPECT_EQ(transport->Connect(L".", pipe, 2000, 3), S_OK);
        return client_connection::Create(&local_, transport, false);
    }

    bool ended_within(DWORD ms) { return process_.ended_within(ms); }

    const std::wstring pipe;

private:
    sim_server_process process_;
    IClient_Remote local_;
};

// Runs check(t) for t = 0 .. n-1 on n threads at once; returns how many checks failed. A check
// fails when it returns false or when the call it waits for fails.
template <class F> int failures_on_threads(int n, F check)
{
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < n; ++t)
        threads.emplace_back([&, t] {
            try {
                if (!check(t))
                    ++failures;
            } catch (const corun::details::hresult_error&) {
                ++failures;
            }
        });
    for (auto& thread : threads)
        thread.join();
    return failures.load();
}

// True once f has completed, waited for at most ms.
template <class T> bool completes_within(corun::details::future<T>& f, DWORD ms)
{
    const ULONGLONG until = GetTickCount64() + ms;
    while (!f.ready()) {
        if (GetTickCount64() >= until)
            return false;
        Sleep(5);
    }
    return true;
}

} // namespace

TEST(SimServer, ListsTheSharedPortsOfItsCommandLine)
{
    sim_server server(L"--port COM1=1 --port \"Port 7=7\"");
    auto connection = server.connect();
    auto records = corun::details::wait_get(connection->GetSharedPorts());
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].name, L"COM1");
    EXPECT_EQ(records[0].port, 1u);
    EXPECT_EQ(records[1].name, L"Port 7");
    EXPECT_EQ(records[1].port, 7u);
}

TEST(SimServer, SplitAndDelayedWritesAreDecodedWhole)
{
    sim_server server(L"--mode split --delay-ms 60 --port COM3=1 --port COM12=12");
    auto connection = server.connect();
    auto records = corun::details::wait_get(connection->GetSharedPorts());
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].name, L"COM12");
    EXPECT_EQ(records[1].port, 12u);
}

TEST(SimServer, IncomingCallBeforeTheReplyIsLeftUnanswered)
{
    sim_server server(L"--mode incoming --port COM3=1");
    auto connection = server.connect();
    auto records = corun::details::wait_get(connection->GetSharedPorts());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(corun::details::wait_get(connection->Method1(41)), 42);
    EXPECT_EQ(connection->core().in_flight(), 0u);
    // An answer would have been written while the server's call was read, before the reply
    // that completed the first call: the server has seen it by now, if there was one.
    const bytes seen = corun::details::wait_get(connection->Call(sim_report_method, {}));
    EXPECT_EQ(seen, to_bytes({0, 0, 0, 0})) << "the client answered the server's call";
}

TEST(SimServer, DroppedUnknownAndDuplicateRepliesAreIgnored)
{
    sim_server server(L"--mode junk --port COM5=5");
    auto connection = server.connect();
    auto records = corun::details::wait_get(connection->GetSharedPorts());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].name, L"COM5");
    EXPECT_EQ(corun::details::wait_get(connection->Method1(1)), 2);
}

TEST(SimServer, MalformedRepliesFailTheCall)
{
    for (const wchar_t* mode : {L"bad-count", L"bad-name", L"short"}) {
        sim_server server(std::wstring(L"--mode ") + mode + L" --port COM1=1");
        auto connection = server.connect();
        EXPECT_EQ(failure_of(connection->GetSharedPorts()), bad_reply) << mode;
    }
}

TEST(SimServer, CloseWithoutReplyFailsTheCallPromptly)
{
    sim_server server(L"--mode close");
    auto connection = server.connect();
    auto call = connection->GetSharedPorts();
    const long hr = failure_of(call);
    EXPECT_LT(hr, 0);
    EXPECT_NE(hr, aborted); // failed by the loop's end, not by the destruction
    EXPECT_EQ(failure_of(connection->Method1(1)), hr);
}

TEST(SimServer, DestroyingTheConnectionFailsAnUnansweredCall)
{
    sim_server server(L"--mode never");
    auto connection = server.connect();
    auto call = connection->GetSharedPorts();
    connection.reset();
    EXPECT_EQ(failure_of(call), aborted);
}

TEST(SimServer, SlowReplyStillCompletes)
{
    sim_server server(L"--mode slow --delay-ms 300 --port COM2=2");
    auto connection = server.connect();
    EXPECT_EQ(corun::details::wait_get(connection->GetSharedPorts()).size(), 1u);
}

TEST(SimServer, LargePayloadsCrossInPiecesBothWays)
{
    sim_server server(L"");
    auto connection = server.connect();
    // Method 2 echoes its block: a payload of 8 + 4 + n bytes goes out, 4 + n come back.
    for (std::size_t n : {65512u, 65513u, 200000u}) {
        const bytes block = pattern(n, static_cast<int>(n));
        EXPECT_EQ(corun::details::wait_get(connection->Method2(1, 2, block)), block) << n;
    }
    // Method 4 answers a block of n bytes: reply payloads of 65,524 and 65,525 bytes.
    for (std::uint32_t n : {65520u, 65521u}) {
        auto reply = corun::details::wait_get(connection->Method4(n));
        EXPECT_EQ(reply, bytes(n, std::byte{0xAB}));
    }
}

TEST(SimServer, ConcurrentLargeCallsKeepTheirFramesWhole)
{
    sim_server server(L"");
    auto connection = server.connect();
    // Frames of 200,000 bytes go out in several pieces, and 24 of them overfill the server's
    // pipe buffer, so writes wait while others start. A stream mixed up by them would leave
    // calls unanswered until the server's lifetime ends, and then fail them.
    const int wrong = failures_on_threads(4, [&](int t) {
        std::vector<bytes> blocks;
        std::vector<corun::details::future<bytes>> replies;
        for (int i = 0; i < 6; ++i) {
            blocks.push_back(pattern(200000, 16 * t + i));
            replies.push_back(connection->Method2(1, 2, blocks.back()));
        }
        bool all_match = true;
        for (int i = 0; i < 6; ++i)
            all_match = corun::details::wait_get(replies[i]) == blocks[i] && all_match;
        return all_match;
    });
    EXPECT_EQ(wrong, 0);
}

TEST(SimServer, ConnectionsClosedWhileTheirLoopsReadGiveNoneOfTheirBytesToAnother)
{
    // Each reply is followed by a stream of dropped messages, so every read loop is about to
    // start its next read when its connection is destroyed, while other threads open
    // connections to the other server.
    sim_server first(L"--mode flood --port COM1=1");
    sim_server second(L"--mode flood --port COM2=2");
    // A reply takes milliseconds; one that has not come after far longer is counted apart, and
    // the connection's end then fails its call, so the case ends instead of waiting for ever.
    std::atomic<int> unanswered{0};
    const int wrong = failures_on_threads(6, [&](int t) {
        sim_server& server = t % 2 ? second : first;
        const std::uint32_t port = t % 2 ? 2 : 1;
        for (int round = 0; round < 25; ++round) {
            auto connection = server.connect();
            auto call = connection->GetSharedPorts();
            if (!completes_within(call, 20000)) {
                ++unanswered;
                return false;
            }
            auto records = corun::details::wait_get(call);
            if (records.size() != 1 || records[0].port != port)
                return false;
        }
        return true;
    });
    EXPECT_EQ(unanswered.load(), 0) << "connections that got no reply";
    EXPECT_EQ(wrong, 0);
}

TEST(SimServer, EndsByItselfAfterItsClientsOrItsLifetime)
{
    sim_server counted(L"--clients 1 --port COM1=1");
    auto connection = counted.connect();
    EXPECT_EQ(corun::details::wait_get(connection->GetSharedPorts()).size(), 1u);
    EXPECT_FALSE(counted.ended_within(0));
    connection.reset();
    EXPECT_TRUE(counted.ended_within(10000));

    sim_server short_lived(L"--lifetime-ms 300");
    EXPECT_TRUE(short_lived.ended_within(10000));
}
