#pragma once
// The I/O control codes of the virtual port driver and the layout of their buffers.
//
// Set string: u32 character count N, then N UTF-16 code units, no terminator (4 + 2N bytes).
// Set number: the u32 value (4 bytes). A get sends nothing and receives into a zeroed buffer
// of reply_buffer_size bytes, of which the driver reports R written: R = 0 is the empty
// string or 0; otherwise a string reply is laid out like a set string, a number reply is the
// u32 at offset 0. All integers little-endian.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace wharfcore {
namespace driver {

inline constexpr std::uint32_t get_remote_host = 0x82F26004;
inline constexpr std::uint32_t set_remote_host = 0x82F2A008;
inline constexpr std::uint32_t get_remote_port = 0x82F2600C;
inline constexpr std::uint32_t set_remote_port = 0x82F2A010;
inline constexpr std::uint32_t get_connection_timeout = 0x82F26014;
inline constexpr std::uint32_t set_connection_timeout = 0x82F2A018;
inline constexpr std::uint32_t get_connection_attempts = 0x82F2601C;
inline constexpr std::uint32_t set_connection_attempts = 0x82F2A020;
inline constexpr std::uint32_t get_login = 0x82F26024;
inline constexpr std::uint32_t set_login = 0x82F2A028;
inline constexpr std::uint32_t set_password = 0x82F2A02C;
inline constexpr std::uint32_t get_domain = 0x82F26030;
inline constexpr std::uint32_t set_domain = 0x82F2A034;

inline constexpr std::size_t reply_buffer_size = 65536;

// Bit 14 of a control code: the caller needs read access only.
constexpr bool is_read_only_control(std::uint32_t code) noexcept
{
    return (code & 0x4000) != 0;
}

std::vector<std::byte> EncodeString(std::wstring_view text);
std::vector<std::byte> EncodeNumber(std::uint32_t value);

// reply holds the R bytes the driver wrote. A string reply of 1 to 3 bytes, or one whose
// count N exceeds what was written, throws HRESULT_FROM_WIN32(ERROR_INVALID_DATA).
std::wstring DecodeString(std::span<const std::byte> reply);
std::uint32_t DecodeNumber(std::span<const std::byte> reply) noexcept;

} // namespace driver
} // namespace wharfcore
