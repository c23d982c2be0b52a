#pragma once
// The discovery datagram: a little-endian 32-bit count N, then N UTF-16LE code units of a
// computer name, nothing after them.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

std::vector<std::byte> make_discovery_packet(const std::wstring& name);

// The longest name a reply may carry: a DNS host name.
inline constexpr std::size_t max_reply_name = 255;

// The server named by a reply, or nothing for a datagram that is not exactly 4 + 2N bytes,
// names more than max_reply_name characters, or names something that is not a host name
// (empty, or holding a backslash, a slash or a NUL).
std::optional<std::wstring> parse_discovery_reply(const std::vector<std::byte>& datagram);
