#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>

#include "arpc/mailslot.h"
#include "corun/blocking_wait.h"

namespace {

using arpc::Mailslot;
using corun::details::cancellation_source;
using corun::details::hresult_error;

constexpr long aborted = static_cast<long>(0x800703E3UL);
constexpr long cancelled = static_cast<long>(0x800704C7UL);
// A read takes datagrams of up to 1024 bytes: a discovery packet's count and 510 UTF-16
// characters of a host name.
constexpr std::size_t largest_message = 1024;

std::wstring unique_name()
{
    static std::atomic<int> counter{0};
    return L"wharf_mailslot_test_" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(counter++);
}

std::vector<std::byte> bytes(std::size_t count, unsigned seed = 1)
{
    std::vector<std::byte> data(count);
    for (std::size_t i = 0; i < count; ++i)
        data[i] = static_cast<std::byte>((i * 31 + seed) & 0xFF);
    return data;
}

// The HRESULT a future failed with, or 0 when it holds a value.
template <class T> long failure_of(corun::details::future<T>&& f)
{
    try {
        (void)corun::details::wait_get(f);
        return 0;
    } catch (const hresult_error& e) {
        return e.code();
    }
}

// The value of a future; a failure is reported with its HRESULT.
template <class T> T value_of(corun::details::future<T>&& f)
{
    try {
        return corun::details::wait_get(f);
    } catch (const hresult_error& e) {
        ADD_FAILURE() << "failed with 0x" << std::hex << static_cast<unsigned long>(e.code());
        return T{};
    }
}

// One datagram sent with a plain file handle, as a server's service would send it.
void send_raw(const std::wstring& name, const std::vector<std::byte>& data)
{
    HANDLE file = CreateFileW((L"\\\\.\\mailslot\\" + name).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr));
    CloseHandle(file);
}

// Each case runs on an endpoint that binds to the thread pool where the system allows it,
// and on one forced to poll.
class MailslotServer : public testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        ASSERT_EQ(make(server).CreateServer(name, nullptr), S_OK);
        server->SetCancellationToken(owner);
    }
    Mailslot& make(std::optional<Mailslot>& endpoint)
    {
        return GetParam() ? endpoint.emplace(Mailslot::force_polling_t{}) : endpoint.emplace();
    }

    std::wstring name = unique_name();
    cancellation_source owner;
    std::optional<Mailslot> server;
};

TEST_P(MailslotServer, WaitingMessageIsReadBeforeReadReturns)
{
    const auto data = bytes(37);
    send_raw(name, data);
    auto read = server->Read();
    ASSERT_TRUE(read.ready());
    EXPECT_EQ(read.get(), data);
}

TEST_P(MailslotServer, EmptyAndFullSizeMessagesAreReadWhole)
{
    send_raw(name, {});
    const auto full = bytes(largest_message, 7);
    send_raw(name, full);
    EXPECT_TRUE(value_of(server->Read()).empty());
    EXPECT_EQ(value_of(server->Read()), full);
}

// The too long message is taken out, so that a listener that goes on reads the next one.
TEST_P(MailslotServer, MessageLongerThanBufferFailsWithInsufficientBufferAndIsDropped)
{
    send_raw(name, bytes(largest_message + 1));
    EXPECT_EQ(failure_of(server->Read()), static_cast<long>(0x8007007AUL));
    const auto next = bytes(5, 3);
    send_raw(name, next);
    EXPECT_EQ(value_of(server->Read()), next);
}

TEST_P(MailslotServer, PendingReadCompletesWhenMessageArrives)
{
    for (int round = 0; round < 5; ++round) {
        auto read = server->Read();
        const auto data = bytes(100 + round, round);
        send_raw(name, data);
        EXPECT_EQ(value_of(std::move(read)), data) << "round " << round;
    }
}

TEST_P(MailslotServer, CancelledOwnerRefusesReadWithoutConsumingTheMessage)
{
    const auto data = bytes(12);
    send_raw(name, data);
    owner.cancel();
    auto refused = server->Read();
    ASSERT_TRUE(refused.ready());
    EXPECT_EQ(failure_of(std::move(refused)), cancelled);
    // Joining an owner that is cancelled already refuses reads as well; joining a live one
    // finds the message still there.
    cancellation_source cancelled_owner;
    cancelled_owner.cancel();
    server->SetCancellationToken(cancelled_owner);
    ASSERT_EQ(failure_of(server->Read()), cancelled);
    cancellation_source live_owner;
    server->SetCancellationToken(live_owner);
    EXPECT_EQ(value_of(server->Read()), data);
}

TEST_P(MailslotServer, CancellingOwnerEndsPendingReadPromptly)
{
    for (int round = 0; round < 10; ++round) {
        cancellation_source round_owner;
        server->SetCancellationToken(round_owner);
        auto read = server->Read();
        EXPECT_FALSE(read.ready());
        const ULONGLONG start = GetTickCount64();
        round_owner.cancel();
        EXPECT_EQ(failure_of(std::move(read)), aborted) << "round " << round;
        EXPECT_LT(GetTickCount64() - start, 2000u);
    }
    const auto data = bytes(3);
    send_raw(name, data);
    cancellation_source fresh;
    server->SetCancellationToken(fresh);
    EXPECT_EQ(value_of(server->Read()), data);
}

TEST_P(MailslotServer, CreatingAgainClosesTheOldMailslotAtOnce)
{
    const std::wstring second = unique_name();
    ASSERT_EQ(server->CreateServer(second, nullptr), S_OK);
    Mailslot other;
    EXPECT_EQ(other.CreateServer(name, nullptr), S_OK);
    const auto data = bytes(21);
    send_raw(second, data);
    EXPECT_EQ(value_of(server->Read()), data);
}

TEST_P(MailslotServer, ClientEndpointWritesWholeMessages)
{
    std::optional<Mailslot> client;
    ASSERT_EQ(make(client).OpenClient(L".", name), S_OK);
    client->SetCancellationToken(owner);
    for (std::size_t size : {0u, 1u, 600u, 1024u}) {
        const auto data = bytes(size, static_cast<unsigned>(size));
        EXPECT_EQ(value_of(client->Write(data)), size);
        EXPECT_EQ(value_of(server->Read()), data) << "size " << size;
    }
    owner.cancel();
    EXPECT_EQ(failure_of(client->Write(bytes(4))), cancelled);
}

// Default binds the endpoint to the thread pool where the system allows it. Wine cannot bind a
// mailslot server handle (CreateThreadpoolIo fails with 87), so under Wine the Default cases
// read with the polling reader, the same path as the Polling cases: there they cover the pool
// read path not at all, only the client endpoint's pool writes. The pool read runs only on
// Windows.
INSTANTIATE_TEST_SUITE_P(Paths, MailslotServer, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Polling" : "Default"; });

// The thread-pool read path publishes its OVERLAPPED for the cancellation's work only when the
// call starts; a cancellation that came just before found nothing to cancel. The awaiter
// looks at the token again once the call is pending and cancels it itself. A mailslot cannot
// be bound to the thread pool here, so a pipe stands in for it.
corun::details::future<long> read_after_cancel(HANDLE pipe, arpc::threadpool_io& io,
                                               const corun::details::cancellation_token& token, HANDLE done)
{
    std::byte buffer[16];
    std::atomic<OVERLAPPED*> slot{nullptr};
    long code = 0;
    try {
        arpc::ReadAwaiter read(pipe, io, buffer, sizeof buffer, &slot, &token);
        (void)co_await read;
    } catch (const hresult_error& e) {
        code = e.code();
    }
    SetEvent(done);
    co_return code;
}

TEST(MailslotIo, CancellationJustBeforeTheCallStartsStillCancelsIt)
{
    const std::wstring path = L"\\\\.\\pipe\\" + unique_name();
    HANDLE server = CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                                     nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    HANDLE client = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        arpc::threadpool_io io;
        io.bind(client);
        cancellation_source source;
        corun::details::cancellation_token token(source);
        source.cancel();
        auto read = read_after_cancel(client, io, token, done);
        const bool ended = WaitForSingleObject(done, 10000) == WAIT_OBJECT_0;
        EXPECT_TRUE(ended) << "the read still waits for data";
        if (!ended) {
            DWORD written = 0;
            WriteFile(server, "x", 1, &written, nullptr);
        }
        EXPECT_EQ(corun::details::wait_get(read), aborted);
    }
    CloseHandle(done);
    CloseHandle(client);
    CloseHandle(server);
}

TEST(Mailslot, FailuresToOpenAreHresultsAndLeaveNoHandle)
{
    const std::wstring name = unique_name();
    Mailslot first, second, client;
    ASSERT_EQ(first.CreateServer(name, nullptr), S_OK);
    const HRESULT again = second.CreateServer(name, nullptr);
    EXPECT_TRUE(FAILED(again) && HRESULT_FACILITY(again) == FACILITY_WIN32) << std::hex << again;
    EXPECT_EQ(client.OpenClient(L".", unique_name()), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));

    // A failed open after a good one leaves the endpoint without a handle.
    EXPECT_TRUE(FAILED(first.OpenClient(L".", unique_name())));
    EXPECT_EQ(failure_of(first.Read()), HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));
    EXPECT_EQ(failure_of(client.Write(bytes(3))), HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));
}

} // namespace
