// 64 servers answering one broadcast at once: how long until the queries of all of them have
// ended, through the program's discovery queue (a few queries at once) and wharfcore's shared-port
// query, against the simulated server answering after 25 ms. The figure is a ratio to the floor
// that the bound on queries at once allows: one server's query time x 64 / that bound (1.00 is
// the floor; above it, the queue loses time between queries or the queries slow each other).
// The 64 names are distinct and all reach the simulated server (".\<n>\.." is "." to the pipe
// path). Medians of alternating runs.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "discovery_queue.h"
#include "sim_server.h"
#include "wharfcore/wharfcore.h"

namespace {

constexpr int servers = 64;
constexpr int runs = 9;

PROCESS_INFORMATION start_server()
{
    // Enough pipe instances listen that no query finds the pipe busy: 64 servers of their own.
    return start_sim_server(L"--mode slow --delay-ms 25 --listeners 24 --lifetime-ms 600000 --port COM1=1");
}

// The queries of one run: each records its end, and the last one sets the event.
struct run_record {
    HANDLE all_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> left{0};
    std::atomic<int> failed{0};
};

corun::details::future<void> query(IRemotePortLibraryEx* library, std::wstring name, run_record* record)
{
    try {
        auto ports = co_await library->getRemoteSharedPortsAsync(name);
        if (ports.size() != 1)
            ++record->failed;
    } catch (...) {
        ++record->failed;
    }
    if (--record->left == 0)
        SetEvent(record->all_done);
}

double milliseconds_since(const LARGE_INTEGER& start)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// Offers count distinct names at once, as the reply listener would, and times until every
// query has ended.
double time_queries(IRemotePortLibraryEx* library, int count, int& failures)
{
    run_record record;
    record.left = count;
    panel::discovery_queue queue(
        [&](const std::wstring& name) { return query(library, name, &record); });
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    for (int i = 0; i < count; ++i)
        queue.offer(L".\\" + std::to_wstring(i) + L"\\..");
    WaitForSingleObject(record.all_done, INFINITE);
    const double ms = milliseconds_since(start);
    failures += record.failed;
    CloseHandle(record.all_done);
    return ms;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main()
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    PROCESS_INFORMATION server = start_server();
    HMODULE core = LoadLibraryW(beside_this_program(L"..\\clientlib\\wharfcore.dll").c_str());
    auto get_class_object = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
        reinterpret_cast<void*>(GetProcAddress(core, "DllGetClassObject")));
    IClassFactory* factory = nullptr;
    IRemotePortLibraryEx* library = nullptr;
    if (!get_class_object ||
        FAILED(get_class_object(CLSID_RemotePortLibrary, IID_IClassFactory, reinterpret_cast<void**>(&factory))) ||
        FAILED(factory->CreateInstance(nullptr, __uuidof(IRemotePortLibraryEx), reinterpret_cast<void**>(&library)))) {
        std::printf("cannot create the library\n");
        return 1;
    }

    int failures = 0;
    (void)time_queries(library, 1, failures); // warm-up
    std::vector<double> one, all;
    for (int r = 0; r < runs; ++r) {
        one.push_back(time_queries(library, 1, failures));
        all.push_back(time_queries(library, servers, failures));
    }
    const double floor = median(one) * servers / static_cast<double>(panel::discovery_queries_at_once);
    std::printf("%d servers answering at once, %zu queries at a time: %.1f ms until all queried; one server's "
                "query %.1f ms, floor %.1f ms, ratio %.2f (failed queries: %d)\n",
                servers, panel::discovery_queries_at_once, median(all), median(one), floor, median(all) / floor,
                failures);
    std::fflush(stdout);

    library->Release();
    factory->Release();
    TerminateProcess(server.hProcess, 0);
    WaitForSingleObject(server.hProcess, INFINITE);
    CloseHandle(server.hProcess);
    CloseHandle(server.hThread);
    return failures == 0 ? 0 : 1;
}
