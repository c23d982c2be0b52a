#pragma once
// The discovery datagram: a little-endian 32-bit count N, then N UTF-16LE code units of a
// computer name, nothing after them.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

std::vector<std::byte> make_discovery_packet(const std::wstring& name);

// The longest name a reply may carry: a DNS host name.
inline constexpr std::size_t max_reply_name = 255;

// True for a name that can be a computer's: it becomes the host part of the server's pipe path
// "\\" + name + "\pipe\...", so it must not reach another path than that host's. "." is this
// machine; DNS and NetBIOS names, non-ASCII letters included, pass. Refused: the empty name, one
// longer than max_reply_name, control characters, white space, any of \ / : * ? " < > |, a
// surrogate without its pair, and a name of dots only other than ".".
bool is_computer_name(std::wstring_view name);

// The server named by a reply, or nothing for a datagram that is not exactly 4 + 2N bytes or
// whose name is no computer name (is_computer_name).
std::optional<std::wstring> parse_discovery_reply(const std::vector<std::byte>& datagram);
