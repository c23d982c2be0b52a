#include <thread>

#include <gtest/gtest.h>

#include "arpc/pipe_transport.h"
#include "pipe_test_support.h"

namespace {

constexpr long e_timeout = static_cast<long>(0x800705B4UL);
constexpr long cancelled = static_cast<long>(0x800704C7UL);
constexpr long aborted = static_cast<long>(0x800703E3UL);

std::shared_ptr<arpc::PipeTransport> connected_client(const std::wstring& name)
{
    auto client = std::make_shared<arpc::PipeTransport>();
    EXPECT_EQ(client->Connect(L".", name, 0, 1), S_OK);
    return client;
}

bytes payload_of(const arpc::Message& m)
{
    return bytes(m.payload(), m.payload() + m.length);
}

} // namespace

TEST(PipeTransport, WritesFramesInRequestsOfAtMost65536Bytes)
{
    const std::wstring name = unique_pipe_name("chunks");
    raw_pipe server(name, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE);
    auto client = connected_client(name);
    server.accept();
    const std::pair<std::size_t, std::vector<std::size_t>> cases[] = {
        {0, {12}}, {65524, {65536}}, {65525, {65536, 1}}, {200000, {65536, 65536, 65536, 3404}}};
    for (const auto& [size, pieces] : cases) {
        const bytes content = pattern(size, static_cast<int>(size));
        auto write = client->Write(arpc::BuildCall(3, arpc::origin_client, 2, content));
        bytes whole, message;
        for (std::size_t piece : pieces) {
            EXPECT_EQ(server.read_message(message), piece) << "payload " << size;
            whole.insert(whole.end(), message.begin(), message.end());
        }
        corun::details::wait_get(write);
        ASSERT_EQ(whole.size(), 12 + size);
        EXPECT_EQ(bytes(whole.begin() + 12, whole.end()), content);
    }
}

TEST(PipeTransport, ReadsBackToBackFramesOfEverySizeWhole)
{
    const std::wstring name = unique_pipe_name("sizes");
    raw_pipe server(name);
    auto client = connected_client(name);
    server.accept();
    const std::size_t sizes[] = {0, 65524, 65525, 200000, 1};
    bytes stream;
    for (std::size_t size : sizes) {
        auto frame = frame_bytes(*arpc::BuildCall(static_cast<std::uint32_t>(size), 0, 1, pattern(size, 7)));
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    std::thread writer([&] { server.write(stream); });
    for (std::size_t size : sizes) {
        auto message = corun::details::wait_get(client->Read())->message;
        EXPECT_EQ(message->call_id, size);
        EXPECT_EQ(payload_of(*message), pattern(size, 7));
    }
    writer.join();
}

TEST(PipeTransport, ShortReadsAreContinuedUntilTheFrameIsWhole)
{
    const std::wstring name = unique_pipe_name("short");
    raw_pipe server(name);
    auto client = connected_client(name);
    server.accept();
    const bytes frame = frame_bytes(*arpc::BuildCall(9, 0, 4, pattern(70000, 3)));
    auto read = client->Read();
    const std::size_t cuts[] = {0, 5, 12, 20, 65536, frame.size()};
    for (std::size_t i = 0; i + 1 < std::size(cuts); ++i) {
        server.write(frame.data() + cuts[i], cuts[i + 1] - cuts[i]);
        // Nothing signals that the reader has taken a piece; the pause lets each piece arrive
        // alone so that the reader sees short counts.
        Sleep(15);
    }
    auto message = corun::details::wait_get(read)->message;
    EXPECT_EQ(frame_bytes(*message), frame);
}

TEST(PipeTransport, EndOfStreamInsideAFrameFailsTheRead)
{
    for (std::size_t cut : {6u, 12u + 10u}) {
        const std::wstring name = unique_pipe_name("eof");
        raw_pipe server(name);
        auto client = connected_client(name);
        server.accept();
        const bytes frame = frame_bytes(*arpc::BuildCall(1, 0, 0, pattern(100, 1)));
        auto read = client->Read();
        server.write(frame.data(), cut);
        FlushFileBuffers(server.get());
        server.close();
        EXPECT_LT(failure_of(read), 0) << "cut at " << cut;
    }
}

TEST(PipeTransport, CloseEndsPendingIOAndRefusesMoreButKeepsTheHandleUntilDestruction)
{
    const std::wstring name = unique_pipe_name("closed");
    raw_pipe server(name);
    auto client = connected_client(name);
    server.accept();
    auto pending = client->Read();
    const HANDLE held = client->Handle();
    client->Close();
    EXPECT_EQ(failure_of(pending), aborted);
    EXPECT_EQ(failure_of(client->Read()), E_FAIL);
    EXPECT_EQ(failure_of(client->Write(arpc::BuildCall(0, 1, 0, {}))), E_FAIL);
    // The value stays this pipe's, so that no other pipe can get it while a Read that was just
    // starting may still use it; the destructor closes it, and the server sees the client go.
    EXPECT_TRUE(GetNamedPipeInfo(held, nullptr, nullptr, nullptr, nullptr));
    client.reset();
    EXPECT_TRUE(server.read_exact(1).empty());

    auto never_connected = std::make_shared<arpc::PipeTransport>();
    EXPECT_EQ(failure_of(never_connected->Read()), E_FAIL);
}

TEST(PipeTransportConnect, ZeroAttemptsTimesOutWithoutOpening)
{
    const std::wstring name = unique_pipe_name("zero");
    raw_pipe server(name);
    auto client = std::make_shared<arpc::PipeTransport>();
    EXPECT_EQ(client->Connect(L".", name, 0, 0), e_timeout);
    // The only instance is still free.
    EXPECT_EQ(client->Connect(L".", name, 0, 1), S_OK);
}

TEST(PipeTransportConnect, MissingPipeFailsAtOnce)
{
    auto client = std::make_shared<arpc::PipeTransport>();
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(client->Connect(L".", unique_pipe_name("missing"), 5000, 3), static_cast<long>(0x80070002UL));
    EXPECT_LT(GetTickCount64() - start, 2000u);
}

TEST(PipeTransportConnect, BusyPipeTimesOutAfterItsAttempts)
{
    const std::wstring name = unique_pipe_name("busy");
    raw_pipe server(name, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE, 50);
    auto first = connected_client(name);
    auto second = std::make_shared<arpc::PipeTransport>();
    EXPECT_EQ(second->Connect(L".", name, 0, 1), e_timeout);
    EXPECT_EQ(second->Connect(L".", name, 50, 2), e_timeout);
}

TEST(PipeTransportConnect, RefusedPipeFailsAtOnceWithAccessDenied)
{
    // Two ways to be refused: a DACL that denies everyone (which Wine does not enforce), and
    // an instance that only reads, which refuses a client asking to read as well.
    const std::wstring denied = unique_pipe_name("denied");
    auto refusing = arpc::security_descriptor::from_sddl(L"D:(D;;GA;;;WD)");
    raw_pipe by_dacl(denied, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE, 5000, refusing.get());
    const std::wstring inbound = unique_pipe_name("inbound");
    raw_pipe by_direction(inbound, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE, 5000, nullptr, PIPE_ACCESS_INBOUND);
    int refused = 0;
    for (const std::wstring& name : {denied, inbound}) {
        HANDLE probe = CreateFileW((L"\\\\.\\pipe\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
        if (probe != INVALID_HANDLE_VALUE) {
            CloseHandle(probe);
            continue;
        }
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        ++refused;
        auto client = std::make_shared<arpc::PipeTransport>();
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(client->Connect(L".", name, 5000, 3), static_cast<long>(0x80070005UL));
        EXPECT_LT(GetTickCount64() - start, 2000u);
    }
    EXPECT_GT(refused, 0) << "no pipe refused the open";
}

namespace {

struct listening {
    std::wstring name;
    std::shared_ptr<arpc::PipeTransport> server = std::make_shared<arpc::PipeTransport>();
    explicit listening(const char* what) : name(unique_pipe_name(what))
    {
        arpc::security_descriptor defaults;
        EXPECT_EQ(server->Listen(name, defaults), S_OK);
    }
};

} // namespace

TEST(PipeTransportServer, CancelBeforeWaitClientFailsWithCancelledAndStartsNothing)
{
    listening pipe("cancel_before");
    pipe.server->Cancel();
    bool second_ran = false;
    EXPECT_EQ(failure_of(pipe.server->WaitClient({}, [&] { second_ran = true; })), cancelled);
    EXPECT_FALSE(second_ran);
}

TEST(PipeTransportServer, CancelDuringPendingWaitFailsWithAborted)
{
    listening pipe("cancel_during");
    HANDLE pending = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto wait = pipe.server->WaitClient({}, [&] { SetEvent(pending); });
    ASSERT_EQ(WaitForSingleObject(pending, 10000), WAIT_OBJECT_0);
    pipe.server->Cancel();
    EXPECT_EQ(failure_of(wait), aborted);
    CloseHandle(pending);
}

TEST(PipeTransportServer, CancelRacingTheStartOfTheWaitAlwaysEndsIt)
{
    for (int round = 0; round < 40; ++round) {
        listening pipe("cancel_race");
        std::thread canceller([&] {
            for (int spin = 0; spin < round * 50; ++spin)
                YieldProcessor();
            pipe.server->Cancel();
        });
        const long hr = failure_of(pipe.server->WaitClient({}, {}));
        canceller.join();
        EXPECT_TRUE(hr == cancelled || hr == aborted) << std::hex << hr;
    }
}

TEST(PipeTransportServer, WaitClientWithoutListenFailsInsteadOfCrashing)
{
    auto transport = std::make_shared<arpc::PipeTransport>();
    EXPECT_EQ(failure_of(transport->WaitClient({}, {})), E_HANDLE);
}

TEST(PipeTransportServer, ClientThatConnectedFirstCompletesTheWaitAtOnce)
{
    listening pipe("early");
    auto client = connected_client(pipe.name);
    bool second_ran = false;
    EXPECT_EQ(failure_of(pipe.server->WaitClient({}, [&] { second_ran = true; })), S_OK);
    EXPECT_FALSE(second_ran);
}

TEST(PipeTransportServer, CloseKeepsTheInstanceForTheNextClient)
{
    listening pipe("reuse");
    for (int client_number = 0; client_number < 2; ++client_number) {
        auto client = std::make_shared<arpc::PipeTransport>();
        auto wait = pipe.server->WaitClient({}, {});
        ASSERT_EQ(client->Connect(L".", pipe.name, 1000, 3), S_OK);
        EXPECT_EQ(failure_of(wait), S_OK);
        corun::details::wait_get(client->Write(arpc::BuildCall(client_number, 1, 0, to_bytes({1, 2}))));
        auto message = corun::details::wait_get(pipe.server->Read())->message;
        EXPECT_EQ(message->call_id, static_cast<std::uint32_t>(client_number));
        pipe.server->Close();
        EXPECT_NE(pipe.server->Handle(), INVALID_HANDLE_VALUE);
    }
}

TEST(PipeTransportServer, ClientTokenIsOpenedAndImpersonationEndsUnlessKept)
{
    listening pipe("token");
    auto wait = pipe.server->WaitClient({}, {});
    auto client = connected_client(pipe.name);
    ASSERT_EQ(failure_of(wait), S_OK);
    corun::details::wait_get(client->Write(arpc::BuildCall(0, 1, 0, {})));
    corun::details::wait_get(pipe.server->Read());

    HANDLE thread_token = nullptr;
    arpc::CToken token = pipe.server->GetClientToken(TOKEN_QUERY, false, true);
    ASSERT_FALSE(token.empty());
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &thread_token));
    EXPECT_EQ(token.revert_object(), nullptr);

    arpc::CToken kept = pipe.server->GetClientToken(TOKEN_QUERY, true, true);
    ASSERT_FALSE(kept.empty());
    ASSERT_NE(kept.revert_object(), nullptr);
    EXPECT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &thread_token));
    CloseHandle(thread_token);
    EXPECT_TRUE(kept.revert_object()->revert());
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &thread_token));
}
