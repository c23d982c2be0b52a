#include "driver_buffers.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "corun/errors.h"

namespace wharfcore {
namespace driver {
namespace {

void put_u32(std::byte* at, std::uint32_t value) noexcept
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
}

std::uint32_t get_u32(const std::byte* at) noexcept
{
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= static_cast<std::uint32_t>(at[i]) << (8 * i);
    return value;
}

} // namespace

std::vector<std::byte> EncodeString(std::wstring_view text)
{
    if (text.size() > (std::numeric_limits<std::uint32_t>::max() - 4) / 2)
        corun::throw_error(E_INVALIDARG);
    std::vector<std::byte> buffer(4 + 2 * text.size());
    put_u32(buffer.data(), static_cast<std::uint32_t>(text.size()));
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto unit = static_cast<std::uint16_t>(text[i]);
        buffer[4 + 2 * i] = static_cast<std::byte>(unit & 0xFF);
        buffer[5 + 2 * i] = static_cast<std::byte>(unit >> 8);
    }
    return buffer;
}

std::vector<std::byte> EncodeNumber(std::uint32_t value)
{
    std::vector<std::byte> buffer(4);
    put_u32(buffer.data(), value);
    return buffer;
}

std::wstring DecodeString(std::span<const std::byte> reply)
{
    if (reply.empty())
        return {};
    if (reply.size() < 4)
        corun::throw_win32_error(ERROR_INVALID_DATA);
    const std::uint32_t count = get_u32(reply.data());
    if (count > (reply.size() - 4) / 2)
        corun::throw_win32_error(ERROR_INVALID_DATA);
    std::wstring text(count, L'\0');
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto low = static_cast<std::uint16_t>(reply[4 + 2 * i]);
        const auto high = static_cast<std::uint16_t>(reply[5 + 2 * i]);
        text[i] = static_cast<wchar_t>(low | (high << 8));
    }
    return text;
}

std::uint32_t DecodeNumber(std::span<const std::byte> reply) noexcept
{
    std::byte bytes[4] = {};
    std::copy_n(reply.begin(), std::min<std::size_t>(reply.size(), 4), bytes);
    return get_u32(bytes);
}

} // namespace driver
} // namespace wharfcore
