#pragma once
// Asks a server which serial ports it shares: one pipe, one connection, one IServer call.
#include <string>
#include <vector>

#include "corun/future.h"
#include "wharfcore/iclient_stub.h"
#include "wharfcore/shared_port_record.h"

namespace wharfcore {

// Opens the server's pipe on the caller's thread, then continues on the thread pool. Every
// failure, the pipe's open included, is stored in the future. The module stays loaded until
// the operation has ended and the future has been released, also when the caller has already
// released everything else.
corun::details::future<std::vector<SharedPortRecord>> QuerySharedPorts(std::wstring host, IClient_Remote* local);

} // namespace wharfcore
