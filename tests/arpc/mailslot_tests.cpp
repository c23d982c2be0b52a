#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>

#include "arpc/mailslot.h"
#include "corun/blocking_wait.h"
#include "corun/cancellation.h"

namespace {

using arpc::Mailslot;
using corun::details::cancellation_source;
using corun::details::hresult_error;
using corun::details::operation_cancelled;

constexpr long aborted_hresult = static_cast<long>(0x800703E3UL);
constexpr long cancelled_hresult = static_cast<long>(0x800704C7UL);
constexpr long too_long_hresult = static_cast<long>(0x8007007AUL);

std::wstring unique_name()
{
    static std::atomic<int> counter{0};
    return L"wharf_mailslot_test_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
           std::to_wstring(counter.fetch_add(1));
}

std::vector<std::byte> bytes(std::size_t count, unsigned seed = 1)
{
    std::vector<std::byte> data(count);
    for (std::size_t i = 0; i < count; ++i)
        data[i] = static_cast<std::byte>((i * 31 + seed) & 0xFF);
    return data;
}

// The HRESULT a finished future failed with, or 0 when it holds a value.
template <class T> long failure_of(corun::details::future<T>& f)
{
    try {
        (void)corun::details::wait_get(f);
        return 0;
    } catch (const hresult_error& e) {
        return e.code();
    }
}

// The value of a future; a failure is reported with its HRESULT and gives T{}.
template <class T> T value_of(corun::details::future<T>&& f)
{
    try {
        return corun::details::wait_get(f);
    } catch (const hresult_error& e) {
        ADD_FAILURE() << "failed with 0x" << std::hex << static_cast<unsigned long>(e.code());
        return T{};
    }
}

// Sends one datagram with a plain file handle, as a server's service would.
void send_raw(const std::wstring& name, const std::vector<std::byte>& data)
{
    const std::wstring path = L"\\\\.\\mailslot\\" + name;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr)) << GetLastError();
    EXPECT_EQ(written, data.size());
    CloseHandle(file);
}

enum class mode { default_binding, polling };

class MailslotServer : public testing::TestWithParam<mode> {
protected:
    void SetUp() override
    {
        if (GetParam() == mode::polling)
            server.emplace(Mailslot::force_polling_t{});
        else
            server.emplace();
        name = unique_name();
        ASSERT_EQ(server->CreateServer(name, nullptr), S_OK);
        server->SetCancellationToken(owner);
        if (GetParam() == mode::polling)
            ASSERT_FALSE(server->bound_to_thread_pool());
    }

    std::wstring name;
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

TEST_P(MailslotServer, EmptyMessageGivesEmptyVectorAndExactBufferSizeIsWhole)
{
    send_raw(name, {});
    const auto full = bytes(Mailslot::read_size, 7);
    send_raw(name, full);
    EXPECT_TRUE(value_of(server->Read()).empty());
    EXPECT_EQ(value_of(server->Read()), full);
}

TEST_P(MailslotServer, MessageLongerThanBufferFailsWithInsufficientBuffer)
{
    send_raw(name, bytes(Mailslot::read_size + 1));
    auto read = server->Read();
    EXPECT_EQ(failure_of(read), too_long_hresult);
    if (server->bound_to_thread_pool())
        return; // the system decides whether the message stays queued
    // The endpoint stays usable: the next message is the next one sent.
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
        EXPECT_EQ(corun::details::wait_get(read), data) << "round " << round;
    }
}

TEST_P(MailslotServer, CancelledOwnerRefusesReadWithoutConsumingMessage)
{
    const auto data = bytes(12);
    send_raw(name, data);
    owner.cancel();
    auto read = server->Read();
    ASSERT_TRUE(read.ready());
    try {
        (void)read.get();
        FAIL() << "read was not refused";
    } catch (const operation_cancelled& e) {
        EXPECT_EQ(e.code(), cancelled_hresult);
    }
    // Joining an owner that is already cancelled leaves the endpoint usable; the message the
    // refused read did not touch is still there.
    cancellation_source cancelled_owner;
    cancelled_owner.cancel();
    server->SetCancellationToken(cancelled_owner);
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
        EXPECT_EQ(failure_of(read), aborted_hresult) << "round " << round;
        EXPECT_LT(GetTickCount64() - start, 2000u);
    }
    // Still usable afterwards with a fresh owner.
    cancellation_source fresh;
    server->SetCancellationToken(fresh);
    const auto data = bytes(3);
    send_raw(name, data);
    EXPECT_EQ(value_of(server->Read()), data);
}

TEST_P(MailslotServer, CancellationAfterCompletionKeepsTheResult)
{
    const auto data = bytes(9);
    send_raw(name, data);
    auto read = server->Read();
    ASSERT_TRUE(read.ready());
    owner.cancel();
    EXPECT_EQ(read.get(), data);
}

TEST_P(MailslotServer, CreatingAgainClosesTheOldMailslotAtOnce)
{
    const std::wstring second = unique_name();
    ASSERT_EQ(server->CreateServer(second, nullptr), S_OK);
    // The first name is free again.
    Mailslot other;
    EXPECT_EQ(other.CreateServer(name, nullptr), S_OK);
    // And the endpoint now reads the second mailslot.
    const auto data = bytes(21);
    send_raw(second, data);
    EXPECT_EQ(value_of(server->Read()), data);
}

TEST_P(MailslotServer, ClientEndpointWritesWholeMessages)
{
    std::optional<Mailslot> client;
    if (GetParam() == mode::polling)
        client.emplace(Mailslot::force_polling_t{});
    else
        client.emplace();
    ASSERT_EQ(client->OpenClient(L".", name), S_OK);
    client->SetCancellationToken(owner);
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{600}, std::size_t{Mailslot::read_size}}) {
        const auto data = bytes(size, static_cast<unsigned>(size));
        EXPECT_EQ(value_of(client->Write(data)), size);
        EXPECT_EQ(value_of(server->Read()), data) << "size " << size;
    }
    owner.cancel();
    auto refused = client->Write(bytes(4));
    EXPECT_EQ(failure_of(refused), cancelled_hresult);
}

INSTANTIATE_TEST_SUITE_P(Paths, MailslotServer, testing::Values(mode::default_binding, mode::polling),
                         [](const testing::TestParamInfo<mode>& info) {
                             return info.param == mode::polling ? "Polling" : "DefaultBinding";
                         });

TEST(Mailslot, CreationFailuresAreReportedAsHresults)
{
    const std::wstring name = unique_name();
    Mailslot first;
    ASSERT_EQ(first.CreateServer(name, nullptr), S_OK);
    Mailslot second;
    const HRESULT again = second.CreateServer(name, nullptr);
    EXPECT_TRUE(FAILED(again));
    EXPECT_EQ(HRESULT_FACILITY(again), FACILITY_WIN32);

    Mailslot client;
    const HRESULT missing = client.OpenClient(L".", unique_name());
    EXPECT_EQ(missing, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

TEST(Mailslot, OperationsWithoutHandleFail)
{
    Mailslot nothing;
    auto read = nothing.Read();
    EXPECT_EQ(failure_of(read), HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));
    auto write = nothing.Write(bytes(3));
    EXPECT_EQ(failure_of(write), HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));

    // A failed open after a good one leaves no handle either.
    Mailslot endpoint;
    ASSERT_EQ(endpoint.CreateServer(unique_name(), nullptr), S_OK);
    EXPECT_TRUE(FAILED(endpoint.OpenClient(L".", unique_name())));
    auto after = endpoint.Read();
    EXPECT_EQ(failure_of(after), HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));
}

} // namespace
