#include "discovery_packet.h"

#include <algorithm>
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

namespace {

bool is_high_surrogate(wchar_t unit)
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool is_low_surrogate(wchar_t unit)
{
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// C0 and C1 control characters and DEL.
bool is_control(wchar_t unit)
{
    return unit < 0x20 || (unit >= 0x7F && unit <= 0x9F);
}

// The characters Unicode counts as white space (beyond the controls among them).
bool is_white_space(wchar_t unit)
{
    return unit == 0x20 || unit == 0xA0 || unit == 0x1680 || (unit >= 0x2000 && unit <= 0x200A) || unit == 0x2028 ||
           unit == 0x2029 || unit == 0x202F || unit == 0x205F || unit == 0x3000;
}

bool is_reserved(wchar_t unit)
{
    return std::wstring_view(L"\\/:*?\"<>|").find(unit) != std::wstring_view::npos;
}

} // namespace

bool is_computer_name(std::wstring_view name)
{
    if (name.empty() || name.size() > max_reply_name)
        return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const wchar_t unit = name[i];
        if (is_control(unit) || is_white_space(unit) || is_reserved(unit))
            return false;
        if (is_high_surrogate(unit)) {
            if (i + 1 == name.size() || !is_low_surrogate(name[i + 1]))
                return false;
            ++i;
        } else if (is_low_surrogate(unit)) {
            return false;
        }
    }
    // ".." and longer runs of dots name no computer; a path would read them as its own parts.
    const bool dots_only = std::all_of(name.begin(), name.end(), [](wchar_t unit) { return unit == L'.'; });
    return !dots_only || name == L".";
}

std::optional<std::wstring> parse_discovery_reply(const std::vector<std::byte>& datagram)
{
    if (datagram.size() < 4)
        return std::nullopt;
    std::uint64_t count = 0;
    for (int i = 3; i >= 0; --i)
        count = (count << 8) | std::to_integer<std::uint64_t>(datagram[i]);
    // 64-bit arithmetic: a count near 2^31 must not wrap into a small length.
    if (count > max_reply_name || datagram.size() != 4 + 2 * count)
        return std::nullopt;
    std::wstring name;
    name.reserve(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < count; ++i) {
        const auto low = std::to_integer<unsigned>(datagram[4 + 2 * i]);
        const auto high = std::to_integer<unsigned>(datagram[5 + 2 * i]);
        name.push_back(static_cast<wchar_t>(low | (high << 8)));
    }
    if (!is_computer_name(name))
        return std::nullopt;
    return name;
}
