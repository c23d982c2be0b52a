#include <gtest/gtest.h>

#include "arpc/message.h"
#include "connection_helpers.h"

TEST(Message, CallAndReplyCarryTheHeaderFields)
{
    auto call = arpc::BuildCall(7, arpc::origin_client, 0x0102, to_bytes({0xA, 0xB, 0xC}));
    EXPECT_EQ(frame_bytes(*call), to_bytes({7, 0, 0, 0, 1, 0, 2, 1, 3, 0, 0, 0, 0xA, 0xB, 0xC}));
    auto reply = arpc::BuildReply(*call, to_bytes({0x55}));
    EXPECT_EQ(frame_bytes(*reply), to_bytes({7, 0, 0, 0, 1, 0, 2, 1, 1, 0, 0, 0, 0x55}));
    auto empty = arpc::BuildCall(0, arpc::origin_server, 0, {});
    EXPECT_EQ(empty->total(), 12u);
}

TEST(Message, PayloadThatCannotBeFramedIsRefused)
{
    std::byte one{};
    // Never read: the size is refused before anything is copied.
    std::span<const std::byte> too_long(&one, static_cast<std::size_t>(arpc::max_payload + 1));
    try {
        arpc::BuildCall(0, arpc::origin_client, 0, too_long);
        FAIL() << "framed a payload of 0xFFFFFFF4 bytes";
    } catch (const corun::details::hresult_error& error) {
        EXPECT_EQ(error.code(), E_INVALIDARG);
    }
}
