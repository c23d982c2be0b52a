#include <gtest/gtest.h>

#include <cstdint>

#include "discovery_packet.h"

namespace {

std::vector<std::byte> bytes(std::initializer_list<unsigned> values)
{
    std::vector<std::byte> out;
    for (unsigned v : values)
        out.push_back(static_cast<std::byte>(v));
    return out;
}

std::vector<std::byte> reply_with_count(std::uint32_t count, const std::wstring& name)
{
    auto packet = make_discovery_packet(name);
    for (int i = 0; i < 4; ++i)
        packet[i] = static_cast<std::byte>((count >> (8 * i)) & 0xFF);
    return packet;
}

} // namespace

TEST(DiscoveryPacket, RequestOfPc1IsCountThenLittleEndianUnits)
{
    EXPECT_EQ(make_discovery_packet(L"PC1"), bytes({3, 0, 0, 0, 0x50, 0, 0x43, 0, 0x31, 0}));
    EXPECT_EQ(make_discovery_packet(L""), bytes({0, 0, 0, 0}));
    EXPECT_EQ(make_discovery_packet(L"\x2194"), bytes({1, 0, 0, 0, 0x94, 0x21}));
}

TEST(DiscoveryPacket, ReplyRoundTripsEveryKindOfComputerName)
{
    // This machine, NetBIOS and DNS names, letters beyond ASCII and a character outside the
    // basic plane (a surrogate pair).
    for (const std::wstring name : {L".", L"SERVER", L"HOST_1", L"a-b", L"host.example.com", L"münchen-pc",
                                    L"サーバー", L"pc-🖥", L"x.", L"-$"}) {
        EXPECT_EQ(parse_discovery_reply(make_discovery_packet(name)), std::optional<std::wstring>(name));
        EXPECT_TRUE(is_computer_name(name));
    }
}

TEST(DiscoveryPacket, HugeCountInShortDatagramIsDroppedNotWrapped)
{
    // 4 + 2 * 0x80000002 wraps to 8 in 32 bits.
    EXPECT_FALSE(parse_discovery_reply(reply_with_count(0x80000002u, L"AB")));
    EXPECT_FALSE(parse_discovery_reply(reply_with_count(0xFFFFFFFFu, L"AB")));
}

TEST(DiscoveryPacket, ReplyMustBeExactlyCountLong)
{
    EXPECT_FALSE(parse_discovery_reply(bytes({})));
    EXPECT_FALSE(parse_discovery_reply(bytes({1, 0, 0})));
    auto shorter = make_discovery_packet(L"HOST5");
    shorter.pop_back();
    shorter.pop_back();
    EXPECT_FALSE(parse_discovery_reply(shorter));
    auto longer = make_discovery_packet(L"HOST5");
    longer.push_back(std::byte{0x41});
    longer.push_back(std::byte{0});
    EXPECT_FALSE(parse_discovery_reply(longer));
}

TEST(DiscoveryPacket, NamesThatAreNoComputerNamesAreDropped)
{
    // Each would make another pipe path than a host's: "\\?\pipe\..." is this machine's pipe by
    // another road, "\\..\pipe\..." a relative part.
    const std::wstring refused[] = {
        L"", L"a\\b", L"a/b", std::wstring(L"a\0b", 3), L"?", L"*", L":", L"::1", L"a\"b", L"<a>", L"a|b",
        L" ", L"a b", L" a", L"a\tb", L"\x7F", L"a\x85", L"\u00A0", L"a\u3000b", L"\u2028", L"\x1B",
        L"..", L"...", L"a\xD800", L"\xDC00" L"a", L"\xDC00\xD800", std::wstring(1, L'\xDBFF'),
    };
    for (const auto& name : refused) {
        EXPECT_FALSE(is_computer_name(name)) << testing::PrintToString(name);
        EXPECT_FALSE(parse_discovery_reply(make_discovery_packet(name))) << testing::PrintToString(name);
    }
    EXPECT_TRUE(parse_discovery_reply(make_discovery_packet(std::wstring(max_reply_name, L'x'))));
    EXPECT_FALSE(parse_discovery_reply(make_discovery_packet(std::wstring(max_reply_name + 1, L'x'))));
    EXPECT_FALSE(is_computer_name(std::wstring(max_reply_name + 1, L'x')));
}
