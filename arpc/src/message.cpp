#include "arpc/message.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include <windows.h>

#include "corun/errors.h"

namespace arpc {

std::shared_ptr<Message> AllocateMessage(std::uint32_t length)
{
    const std::uint64_t total = header_size + static_cast<std::uint64_t>(length);
    if (total > SIZE_MAX)
        throw std::bad_alloc();
    void* block = std::malloc(static_cast<std::size_t>(total));
    if (!block)
        throw std::bad_alloc();
    // Should the control block fail, shared_ptr frees the block through the deleter.
    std::shared_ptr<Message> message(static_cast<Message*>(block), [](Message* m) { std::free(m); });
    std::memset(block, 0, header_size);
    message->length = length;
    return message;
}

namespace {

std::shared_ptr<Message> build(std::uint32_t call_id, std::uint16_t origin, std::uint16_t method_id,
                               std::span<const std::byte> payload)
{
    if (payload.size() > max_payload)
        corun::throw_error(E_INVALIDARG);
    auto message = AllocateMessage(static_cast<std::uint32_t>(payload.size()));
    message->call_id = call_id;
    message->origin = origin;
    message->method_id = method_id;
    if (!payload.empty())
        std::memcpy(message->payload(), payload.data(), payload.size());
    return message;
}

} // namespace

std::shared_ptr<Message> BuildCall(std::uint32_t call_id, std::uint16_t origin, std::uint16_t method_id,
                                   std::span<const std::byte> arguments)
{
    return build(call_id, origin, method_id, arguments);
}

std::shared_ptr<Message> BuildReply(const Message& call, std::span<const std::byte> result)
{
    return build(call.call_id, call.origin, call.method_id, result);
}

} // namespace arpc
