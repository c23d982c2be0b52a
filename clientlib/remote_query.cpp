#include "remote_query.h"

#include <memory>

#include "arpc/connection.h"
#include "arpc/pipe_transport.h"
#include "library_module.h"
#include "service_pipe.h"
#include "wharfcore/iserver_proxy.h"

namespace wharfcore {
namespace {

using ServerConnection = arpc::Connection<Client_IServer, Server_IClient>;

// The module lock is a parameter, so it belongs to the coroutine's frame: it is given back
// when the frame is destroyed, which is when the caller releases a finished future, or at
// the query's end when the caller released it earlier. Pool callbacks of the query that are
// still returning then are covered by the module's callback environment.
corun::details::future<std::vector<SharedPortRecord>> query(std::wstring host, IClient_Remote* local,
                                                            module_lock_holder)
{
    auto transport = std::make_shared<arpc::PipeTransport>();
    const HRESULT hr = transport->Connect(host, service_pipe_name, 0, 1);
    if (FAILED(hr))
        corun::throw_error(hr);

    // The records are stored (and the awaiter resumed) before the connection is torn down.
    auto connection = ServerConnection::Create(local, transport, false);
    co_return co_await connection->GetSharedPorts();
}

} // namespace

corun::details::future<std::vector<SharedPortRecord>> QuerySharedPorts(std::wstring host, IClient_Remote* local)
{
    return query(std::move(host), local, module_lock_holder{});
}

} // namespace wharfcore
