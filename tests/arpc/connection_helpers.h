#pragma once
#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include <windows.h>

#include "arpc/connection.h"
#include "corun/corun.h"
#include "wharfcore/iclient_stub.h"
#include "wharfcore/iserver_proxy.h"

using client_connection = arpc::Connection<Client_IServer, Server_IClient>;
using bytes = std::vector<std::byte>;

inline bytes to_bytes(std::initializer_list<int> values)
{
    bytes out;
    for (int v : values)
        out.push_back(static_cast<std::byte>(v));
    return out;
}

inline bytes frame_bytes(const arpc::Message& message)
{
    const auto* p = reinterpret_cast<const std::byte*>(&message);
    return bytes(p, p + message.total());
}

// The reply the server would send to call, with payload.
inline std::shared_ptr<arpc::Message> reply_to(const arpc::Message& call, const bytes& payload)
{
    return arpc::BuildReply(call, payload);
}

// Awaits f and records the thread on which the awaiting coroutine was resumed.
template <class T>
corun::details::future<T> resumed_on(corun::details::future<T> f, std::atomic<DWORD>* thread)
{
    try {
        T value = co_await f;
        thread->store(GetCurrentThreadId());
        co_return value;
    } catch (...) {
        thread->store(GetCurrentThreadId());
        throw;
    }
}

// The HRESULT a future fails with, or S_OK.
template <class T> long failure_of(corun::details::future<T>& f)
{
    try {
        corun::details::wait_get(f);
        return S_OK;
    } catch (const corun::details::hresult_error& error) {
        return error.code();
    }
}
template <class T> long failure_of(corun::details::future<T>&& f)
{
    return failure_of(f);
}
