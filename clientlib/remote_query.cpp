#include "remote_query.h"

#include <memory>

#include "arpc/connection.h"
#include "arpc/pipe_transport.h"
#include "library_module.h"
#include "service_pipe.h"
#include "wharfcore/iserver_proxy.h"

namespace wharfcore {

using ServerConnection = arpc::Connection<Client_IServer, Server_IClient>;

corun::details::future<std::vector<SharedPortRecord>> QuerySharedPorts(std::wstring host, IClient_Remote* local)
{
    // Destroyed last: after the connection has shut down.
    module_lock_holder keep_module_loaded;

    auto transport = std::make_shared<arpc::PipeTransport>();
    const HRESULT hr = transport->Connect(host, service_pipe_name, 0, 1);
    if (FAILED(hr))
        corun::throw_error(hr);

    // The records are stored (and the awaiter resumed) before the connection is torn down.
    auto connection = ServerConnection::Create(local, transport, false);
    co_return co_await connection->GetSharedPorts();
}

} // namespace wharfcore
