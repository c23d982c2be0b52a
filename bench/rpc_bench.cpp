// Round trips of IServer method 0 against the simulated server: through arpc::Connection
// versus a plain synchronous write and read of the same bytes on a second pipe; 64 calls in
// flight on one connection versus 64 one after the other; and 64 calls in flight versus their
// fair floor, 64 raw requests written back to back on the second pipe and then their 64 replies
// read. The server answers one request at a time, so the speed-up over sequential calls
// measures the server as much as the connection; the floor is what the server allows.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>

#include "arpc/connection.h"
#include "arpc/pipe_transport.h"
#include "bench.h"
#include "pipe_io.h"
#include "corun/blocking_wait.h"
#include "wharfcore/iclient_stub.h"
#include "wharfcore/iserver_proxy.h"

using client_connection = arpc::Connection<Client_IServer, Server_IClient>;

int main()
{
    const std::wstring pipe = L"wharf_bench_rpc_" + std::to_wstring(GetCurrentProcessId());
    const std::wstring ready_name = pipe + L"_ready";
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, ready_name.c_str());
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring exe = path;
    exe = exe.substr(0, exe.find_last_of(L'\\') + 1) + L"..\\tests\\wharf_sim_server.exe";
    std::wstring command = L"\"" + exe + L"\" --pipe " + pipe + L" --ready-event " + ready_name +
                           L" --lifetime-ms 600000 --port COM1=1 --port COM7=7";
    STARTUPINFOW startup{sizeof(startup)};
    PROCESS_INFORMATION server{};
    if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &server)) {
        std::printf("cannot start the simulated server (%lu)\n", GetLastError());
        return 1;
    }
    if (WaitForSingleObject(ready, 30000) != WAIT_OBJECT_0) {
        std::printf("the simulated server did not start\n");
        return 1;
    }

    IClient_Remote local;
    auto transport = std::make_shared<arpc::PipeTransport>();
    if (transport->Connect(L".", pipe, 2000, 3) != S_OK)
        return 1;
    auto connection = client_connection::Create(&local, transport, false);

    HANDLE raw = CreateFileW((L"\\\\.\\pipe\\" + pipe).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    if (raw == INVALID_HANDLE_VALUE)
        return 1;
    const unsigned char request[12] = {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
    std::vector<char> reply(4096);

    auto raw_round_trip = [&] {
        DWORD written = 0;
        WriteFile(raw, request, sizeof request, &written, nullptr);
        arpc::Message header{};
        bench::read_exact(raw, &header, 12);
        bench::read_exact(raw, reply.data(), header.length);
        bench::keep(header);
    };
    auto rpc_round_trip = [&] {
        auto records = corun::details::wait_get(connection->GetSharedPorts());
        bench::keep(records);
    };
    const double raw_ns = bench::ns_per_op(raw_round_trip, 2000);
    const double rpc_ns = bench::ns_per_op(rpc_round_trip, 2000);
    bench::report("method 0 round trip through Connection vs raw request/reply", rpc_ns, raw_ns);

    auto sequential = [&] {
        for (int i = 0; i < 64; ++i)
            bench::keep(corun::details::wait_get(connection->GetSharedPorts()));
    };
    auto concurrent = [&] {
        std::vector<corun::details::future<std::vector<SharedPortRecord>>> calls;
        calls.reserve(64);
        for (int i = 0; i < 64; ++i)
            calls.push_back(connection->GetSharedPorts());
        for (auto& call : calls)
            bench::keep(corun::details::wait_get(call));
    };
    auto raw_in_flight = [&] {
        DWORD written = 0;
        for (int i = 0; i < 64; ++i)
            WriteFile(raw, request, sizeof request, &written, nullptr);
        for (int i = 0; i < 64; ++i) {
            arpc::Message header{};
            bench::read_exact(raw, &header, 12);
            bench::read_exact(raw, reply.data(), header.length);
            bench::keep(header);
        }
    };
    // Alternating runs, medians: the pool's timing under Wine is noisy.
    bench::compare("64 calls in flight vs 64 sequential calls", concurrent, sequential, 20);
    bench::compare("64 calls in flight vs 64 raw requests in flight (target 1.3)", concurrent, raw_in_flight, 20);

    connection.reset();
    CloseHandle(raw);
    TerminateProcess(server.hProcess, 0);
    WaitForSingleObject(server.hProcess, INFINITE);
    return 0;
}
