// A DLL whose coroutines continue on the thread pool, the way wharfcore's do: one after a
// corun hop, one after an overlapped pipe read completes. Each signals when it runs on the
// pool, then holds that pool thread inside the DLL's code until the test lets it go, so that
// the test can drop the DLL's last reference while the DLL's code is still running there.
#include <windows.h>

#include <string>

#include "arpc/io.h"
#include "corun/fire_and_forget.h"
#include "corun/thread_pool.h"

namespace {

HANDLE detached_event = nullptr;

// Runs on the pool thread: report, wait for the test, then return through this DLL.
void hold_pool_thread(HANDLE running, HANDLE release) noexcept
{
    SetEvent(running);
    WaitForSingleObject(release, 30000);
}

corun::details::fire_and_forget hop(HANDLE running, HANDLE release)
{
    try {
        co_await corun::resume_background();
    } catch (...) {
        co_return;
    }
    hold_pool_thread(running, release);
}

// A pipe pair whose server end is bound to the thread pool; the coroutine owns it.
struct bound_pipe {
    HANDLE server = INVALID_HANDLE_VALUE;
    HANDLE client = INVALID_HANDLE_VALUE;
    arpc::threadpool_io io;
    ~bound_pipe()
    {
        io.close();
        if (client != INVALID_HANDLE_VALUE)
            CloseHandle(client);
        if (server != INVALID_HANDLE_VALUE)
            CloseHandle(server);
    }
};

// The read stays pending until the test writes a byte into client.
corun::details::fire_and_forget read_one(HANDLE running, HANDLE release, HANDLE& client)
{
    bound_pipe pipe;
    const std::wstring name = L"\\\\.\\pipe\\wharf_pool_module_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                              std::to_wstring(GetTickCount64());
    pipe.server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE, 1, 64, 64,
                                   0, nullptr);
    pipe.client = client = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    try {
        pipe.io.bind(pipe.server);
        char byte = 0;
        co_await arpc::ReadAwaiter(pipe.server, pipe.io, &byte, 1);
    } catch (...) {
        co_return;
    }
    hold_pool_thread(running, release);
}

} // namespace

extern "C" __declspec(dllexport) void set_detached_event(HANDLE event)
{
    detached_event = event;
}

extern "C" __declspec(dllexport) void start_hop(HANDLE running, HANDLE release)
{
    hop(running, release);
}

// Returns the pipe's client end, for the test's write; the coroutine closes it at its end.
extern "C" __declspec(dllexport) HANDLE start_read(HANDLE running, HANDLE release)
{
    HANDLE client = INVALID_HANDLE_VALUE;
    read_one(running, release, client);
    return client;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_DETACH && detached_event)
        SetEvent(detached_event);
    return TRUE;
}
