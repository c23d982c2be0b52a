#pragma once
// One framed RPC message: a 12-byte little-endian header, then the payload, in one block
// allocated at its final size with malloc and freed with free.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace arpc {

// Origin markers of the header.
inline constexpr std::uint16_t origin_server = 0;
inline constexpr std::uint16_t origin_client = 1;
inline constexpr std::uint16_t origin_dropped = 0xFFFF;

inline constexpr std::uint32_t header_size = 12;
// The whole frame must fit in 32 bits.
inline constexpr std::uint64_t max_payload = 0xFFFFFFF3ull;

#pragma pack(push, 1)
struct Message {
    std::uint32_t call_id;
    std::uint16_t origin;
    std::uint16_t method_id;
    std::uint32_t length;

    std::byte* payload() noexcept { return reinterpret_cast<std::byte*>(this) + header_size; }
    const std::byte* payload() const noexcept { return reinterpret_cast<const std::byte*>(this) + header_size; }
    std::uint64_t total() const noexcept { return header_size + static_cast<std::uint64_t>(length); }
};
#pragma pack(pop)
static_assert(sizeof(Message) == header_size);

// What the transport's Read delivers.
struct message_t {
    std::shared_ptr<Message> message;
};

// A block for a frame whose payload is length bytes, header zeroed except the length;
// std::bad_alloc when it cannot be had.
std::shared_ptr<Message> AllocateMessage(std::uint32_t length);

// A call: E_INVALIDARG (as corun::details::hresult_error) for a payload that cannot be framed.
std::shared_ptr<Message> BuildCall(std::uint32_t call_id, std::uint16_t origin, std::uint16_t method_id,
                                   std::span<const std::byte> arguments);

// The reply to call: its call id, origin marker and method id, the result as payload.
std::shared_ptr<Message> BuildReply(const Message& call, std::span<const std::byte> result);

} // namespace arpc
