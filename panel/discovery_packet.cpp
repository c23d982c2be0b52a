#include "discovery_packet.h"

#include <cstdint>

std::vector<std::byte> make_discovery_packet(const std::wstring& name)
{
    const auto count = static_cast<std::uint32_t>(name.size());
    std::vector<std::byte> packet;
    packet.reserve(4 + 2 * name.size());
    for (int shift = 0; shift < 32; shift += 8)
        packet.push_back(static_cast<std::byte>((count >> shift) & 0xFF));
    for (wchar_t unit : name) {
        packet.push_back(static_cast<std::byte>(unit & 0xFF));
        packet.push_back(static_cast<std::byte>((unit >> 8) & 0xFF));
    }
    return packet;
}

std::optional<std::wstring> parse_discovery_reply(const std::vector<std::byte>& datagram)
{
    if (datagram.size() < 4)
        return std::nullopt;
    std::uint64_t count = 0;
    for (int i = 3; i >= 0; --i)
        count = (count << 8) | std::to_integer<std::uint64_t>(datagram[i]);
    // 64-bit arithmetic: a count near 2^31 must not wrap into a small length.
    if (count == 0 || count > max_reply_name || datagram.size() != 4 + 2 * count)
        return std::nullopt;
    std::wstring name;
    name.reserve(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < count; ++i) {
        const auto low = std::to_integer<unsigned>(datagram[4 + 2 * i]);
        const auto high = std::to_integer<unsigned>(datagram[5 + 2 * i]);
        const auto unit = static_cast<wchar_t>(low | (high << 8));
        if (unit == L'\0' || unit == L'\\' || unit == L'/')
            return std::nullopt;
        name.push_back(unit);
    }
    return name;
}
