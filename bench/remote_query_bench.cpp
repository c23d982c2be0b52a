// getRemoteSharedPorts of wharfcore against the simulated server sharing 1 and 255 ports,
// versus a raw synchronous open, request, reply and close of the same pipe.
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench.h"
#include "pipe_io.h"
#include "sim_server.h"
#include "wharfcore/wharfcore.h"

namespace {

const wchar_t service_pipe[] = L"\\\\.\\pipe\\wharfnet_{C1862EC9-6AC5-454E-B16C-C1349EE0CBEE}_v1.01";

PROCESS_INFORMATION start_server(int ports)
{
    std::wstring arguments = L"--lifetime-ms 600000 --clients 1000000";
    for (int i = 1; i <= ports; ++i)
        arguments += L" --port COM" + std::to_wstring(i) + L"=" + std::to_wstring(i);
    return start_sim_server(arguments);
}

void stop_server(PROCESS_INFORMATION& server)
{
    TerminateProcess(server.hProcess, 0);
    WaitForSingleObject(server.hProcess, INFINITE);
    CloseHandle(server.hProcess);
    CloseHandle(server.hThread);
}

} // namespace

int main()
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    HMODULE core = LoadLibraryW(beside_this_program(L"..\\clientlib\\wharfcore.dll").c_str());
    auto get_class_object = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
        reinterpret_cast<void*>(GetProcAddress(core, "DllGetClassObject")));
    IClassFactory* factory = nullptr;
    IRemotePortLibrary* library = nullptr;
    if (!get_class_object || FAILED(get_class_object(CLSID_RemotePortLibrary, IID_IClassFactory, reinterpret_cast<void**>(&factory))) ||
        FAILED(factory->CreateInstance(nullptr, __uuidof(IRemotePortLibrary), reinterpret_cast<void**>(&library)))) {
        std::printf("cannot create the library\n");
        return 1;
    }
    BSTR host = SysAllocString(L".");
    std::vector<char> reply(1 << 16);
    const unsigned char request[12] = {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};

    for (int ports : {1, 255}) {
        PROCESS_INFORMATION server = start_server(ports);
        auto raw = [&] {
            HANDLE pipe = CreateFileW(service_pipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            DWORD written = 0;
            WriteFile(pipe, request, sizeof request, &written, nullptr);
            unsigned char header[12];
            bench::read_exact(pipe, header, 12);
            const DWORD length = header[8] | header[9] << 8 | header[10] << 16 | header[11] << 24;
            bench::read_exact(pipe, reply.data(), length);
            CloseHandle(pipe);
        };
        auto query = [&] {
            SAFEARRAY* array = nullptr;
            if (SUCCEEDED(library->getRemoteSharedPorts(host, &array)))
                SafeArrayDestroy(array);
        };
        const std::string name = "getRemoteSharedPorts, " + std::to_string(ports) + " port(s), vs raw open/request/reply";
        bench::compare(name.c_str(), query, raw, 200);
        stop_server(server);
    }
    SysFreeString(host);
    library->Release();
    factory->Release();
    return 0;
}
