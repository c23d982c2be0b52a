#pragma once
// The stub that serves calls a server makes on the interface IClient. IClient has no methods:
// every call completes at once with an empty result, and an empty result gets no reply.
#include <cstdint>
#include <vector>

#include "corun/future.h"

// What the creator of a connection implements for IClient; it has nothing to implement.
class IClient_Remote {};

template <class Connection, class Writer> class Server_IClient {
public:
    using remote_type = IClient_Remote;

    corun::details::future<std::vector<std::byte>> Dispatch(std::uint16_t, std::vector<std::byte>)
    {
        co_return std::vector<std::byte>{};
    }
};
