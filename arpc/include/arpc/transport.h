#pragma once
// The message transport under a connection: moves whole framed messages and carries a
// cancellation source. Always owned through a std::shared_ptr made for the concrete class.
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "arpc/message.h"
#include "arpc/security.h"
#include "corun/cancellation.h"
#include "corun/future.h"

namespace arpc {

// The client's access token obtained by a server transport; empty on failure.
class CToken : public access_token {
public:
    using access_token::access_token;
};

class ITransport {
public:
    ITransport() = default;
    ITransport(const ITransport&) = delete;
    ITransport& operator=(const ITransport&) = delete;

    virtual void SetCancellationToken(const corun::details::cancellation_source& owner) = 0;
    virtual const std::shared_ptr<corun::details::cancellation_source_body>& GetCancellationToken() const noexcept = 0;
    virtual void Cancel() noexcept = 0;
    virtual void Close() noexcept = 0;
    virtual corun::details::future<std::shared_ptr<message_t>> Read() = 0;
    virtual corun::details::future<void> Write(std::shared_ptr<Message> message) = 0;
    virtual long Listen(std::wstring_view name, security_descriptor& descriptor) = 0;
    virtual corun::details::future<unsigned long> WaitClient(std::function<void()> first,
                                                             std::function<void()> second) = 0;
    virtual long ImpersonateClient() = 0;
    virtual long RevertToSelf() = 0;
    virtual CToken GetClientToken(std::uint32_t desired_access, bool keep_impersonating, bool open_as_self) = 0;
    virtual long Connect(std::wstring_view server, std::wstring_view name, std::uint32_t wait_ms,
                         std::uint32_t attempts) = 0;

protected:
    ~ITransport() = default;
};

} // namespace arpc
