#include <cstring>
#include <memory>

#include <gtest/gtest.h>

#include "connection_helpers.h"
#include "fake_transport.h"

namespace {

constexpr long bad_reply = static_cast<long>(0x8007000DUL);

struct ProxyFixture : ::testing::Test {
    std::shared_ptr<fake_transport> transport = std::make_shared<fake_transport>();
    IClient_Remote local;
    std::unique_ptr<client_connection> connection = client_connection::Create(&local, transport, false);

    // Answers the n-th written call with payload.
    void answer(std::size_t n, const bytes& payload)
    {
        auto written = transport->wait_written(n + 1);
        transport->deliver(reply_to(*written[n], payload));
    }
};

// Holds bytes so that the byte after the last one is inaccessible: reading past the end faults.
class fenced_bytes {
public:
    explicit fenced_bytes(const bytes& content)
    {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        page_ = info.dwPageSize;
        base_ = static_cast<std::byte*>(VirtualAlloc(nullptr, 2 * page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old;
        VirtualProtect(base_ + page_, page_, PAGE_NOACCESS, &old);
        data_ = base_ + page_ - content.size();
        std::memcpy(data_, content.data(), content.size());
        size_ = content.size();
    }
    ~fenced_bytes() { VirtualFree(base_, 0, MEM_RELEASE); }
    std::span<const std::byte> span() const { return {data_, size_}; }

private:
    std::byte* base_;
    std::byte* data_;
    std::size_t size_;
    std::size_t page_;
};

long decode_failure(const bytes& payload)
{
    fenced_bytes fenced(payload);
    try {
        iserver_codec::decode_shared_ports(fenced.span());
        return S_OK;
    } catch (const corun::details::hresult_error& error) {
        return error.code();
    }
}

} // namespace

using ServerProxy = ProxyFixture;

TEST_F(ServerProxy, GetSharedPortsDecodesTheReplyExample)
{
    auto ports = connection->GetSharedPorts();
    answer(0, to_bytes({1, 0, 0, 0, 4, 0, 0, 0, 'C', 0, 'O', 0, 'M', 0, '3', 0, 1, 0, 0, 0}));
    auto records = corun::details::wait_get(ports);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].name, L"COM3");
    EXPECT_EQ(records[0].port, 1u);
}

TEST_F(ServerProxy, GetSharedPortsKeepsOrderEmptyNamesAndIgnoresTrailingBytes)
{
    auto ports = connection->GetSharedPorts();
    answer(0, to_bytes({2, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 1, 0, 0, 0, 'X', 0, 0x10, 0x20, 0, 0, 0xEE, 0xEE}));
    auto records = corun::details::wait_get(ports);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].name, L"");
    EXPECT_EQ(records[0].port, 7u);
    EXPECT_EQ(records[1].name, L"X");
    EXPECT_EQ(records[1].port, 0x2010u);
}

TEST_F(ServerProxy, MalformedSharedPortsReplyFailsTheCall)
{
    auto ports = connection->GetSharedPorts();
    answer(0, to_bytes({3, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0}));
    EXPECT_EQ(failure_of(ports), bad_reply);
}

TEST(SharedPortsDecoder, NeverReadsPastThePayload)
{
    EXPECT_EQ(decode_failure(to_bytes({0, 0, 0, 0})), S_OK);
    EXPECT_EQ(decode_failure({}), bad_reply);
    EXPECT_EQ(decode_failure(to_bytes({1, 0})), bad_reply);
    // Count past the end, large enough that reserving for it would be absurd.
    EXPECT_EQ(decode_failure(to_bytes({0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 1, 0, 0, 0})), bad_reply);
    // Name count past the end, including one whose byte size overflows 32 bits.
    EXPECT_EQ(decode_failure(to_bytes({1, 0, 0, 0, 100, 0, 0, 0, 'C', 0, 'O', 0})), bad_reply);
    EXPECT_EQ(decode_failure(to_bytes({1, 0, 0, 0, 0, 0, 0, 0x80, 'C', 0})), bad_reply);
    // Port number cut short.
    EXPECT_EQ(decode_failure(to_bytes({1, 0, 0, 0, 1, 0, 0, 0, 'C', 0, 1, 0})), bad_reply);
}

TEST_F(ServerProxy, MethodsEncodeTheirArguments)
{
    auto m1 = connection->Method1(0x01020304);
    auto m2 = connection->Method2(1, 2, {});
    auto m3 = connection->Method3(to_bytes({9, 8}));
    auto m4 = connection->Method4(5);
    auto written = transport->wait_written(4);
    auto payload = [](const arpc::Message& m) { return bytes(m.payload(), m.payload() + m.length); };
    EXPECT_EQ(written[0]->method_id, 1);
    EXPECT_EQ(payload(*written[0]), to_bytes({4, 3, 2, 1}));
    EXPECT_EQ(written[1]->method_id, 2);
    EXPECT_EQ(payload(*written[1]), to_bytes({1, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(payload(*written[2]), to_bytes({2, 0, 0, 0, 9, 8}));
    EXPECT_EQ(written[3]->method_id, 4);
    EXPECT_EQ(payload(*written[3]), to_bytes({5, 0, 0, 0}));

    transport->deliver(reply_to(*written[0], to_bytes({0x2A, 0, 0, 0, 0xFF})));
    transport->deliver(reply_to(*written[1], to_bytes({2, 0, 0, 0, 0xA, 0xB})));
    transport->deliver(reply_to(*written[2], to_bytes({1, 0})));
    transport->deliver(reply_to(*written[3], to_bytes({3, 0, 0, 0, 1})));
    EXPECT_EQ(corun::details::wait_get(m1), 42);
    EXPECT_EQ(corun::details::wait_get(m2), to_bytes({0xA, 0xB}));
    EXPECT_EQ(failure_of(m3), bad_reply);
    EXPECT_EQ(failure_of(m4), bad_reply);
}

TEST_F(ServerProxy, EmptyReplyToValueMethodsFailsTheCall)
{
    auto m1 = connection->Method1(1);
    auto m3 = connection->Method3({});
    auto written = transport->wait_written(2);
    // A reply frame with no payload (the connection passes it on; it is not a valid result).
    transport->deliver(reply_to(*written[0], {}));
    transport->deliver(reply_to(*written[1], {}));
    EXPECT_EQ(failure_of(m1), bad_reply);
    EXPECT_EQ(failure_of(m3), bad_reply);
}
