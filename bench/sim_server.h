#pragma once
// Starts the tests' simulated server (built beside the benchmarks, under tests/) with the given
// arguments and waits until it listens. A server that does not start ends the benchmark.
#include <windows.h>

#include <cstdio>
#include <string>

inline std::wstring beside_this_program(const wchar_t* relative)
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring exe = path;
    return exe.substr(0, exe.find_last_of(L'\\') + 1) + relative;
}

inline PROCESS_INFORMATION start_sim_server(const std::wstring& arguments)
{
    const std::wstring ready_name = L"wharf_bench_server_ready_" + std::to_wstring(GetCurrentProcessId());
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, ready_name.c_str());
    ResetEvent(ready);
    std::wstring exe = beside_this_program(L"..\\tests\\wharf_sim_server.exe");
    std::wstring command = L"\"" + exe + L"\" --ready-event " + ready_name + L" " + arguments;
    STARTUPINFOW startup{sizeof(startup)};
    PROCESS_INFORMATION server{};
    if (!ready ||
        !CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &server) ||
        WaitForSingleObject(ready, 30000) != WAIT_OBJECT_0) {
        std::printf("the simulated server did not start\n");
        ExitProcess(1);
    }
    CloseHandle(ready);
    return server;
}
