// Library::refreshDevices against a bare SetupAPI enumeration of the same two interface
// classes, with 1, 16 and 128 virtual ports present. Needs the test driver installed and the
// msports/newdev doubles beside the program (run with WHARF_DLLOVERRIDES="msports,newdev=n,b"
// after the port_doubles fixture has readied the prefix). Prints each figure as a ratio to the
// bare enumeration measured in the same run.
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include <cstdio>
#include <string>
#include <vector>

#include "create_port_device.h"
#include "device_interfaces.h"
#include "library.h"
#include "comdb.h"
#include "remove_device_node.h"
#include "trellum/com/value.h"

long Trellum::com::module_lock() noexcept { return 1; }
long Trellum::com::module_unlock() noexcept { return 0; }

namespace {

double now_us()
{
    static LARGE_INTEGER frequency = [] { LARGE_INTEGER f; QueryPerformanceFrequency(&f); return f; }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

// What a refresh must do at least: list both interface classes and read every instance ID.
void bare_enumeration()
{
    HDEVINFO set = SetupDiGetClassDevsExW(&wharfcore::port_interface_class, nullptr, nullptr,
                                          DIGCF_PRESENT | DIGCF_DEVICEINTERFACE, nullptr, nullptr, nullptr);
    SP_DEVINFO_DATA node{sizeof(node)};
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &node); ++i) {
        wchar_t id[200];
        CM_Get_Device_IDW(node.DevInst, id, 200, 0);
    }
    SetupDiGetClassDevsExW(&wharfcore::comport_interface_class, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE,
                           set, nullptr, nullptr);
    SetupDiDestroyDeviceInfoList(set);
}

template <class F> double per_call_us(F&& f, int iterations)
{
    f();
    const double start = now_us();
    for (int i = 0; i < iterations; ++i)
        f();
    return (now_us() - start) / iterations;
}

} // namespace

int main()
{
    std::vector<std::wstring> made;
    int present = 0;
    for (int target : {1, 16, 128}) {
        const double createStart = now_us();
        for (; present < target; ++present)
            made.push_back(wharfcore::CreatePortDevice(static_cast<std::uint32_t>(present + 1)));
        const double createUs = now_us() - createStart;

        auto* library = new Trellum::com::details::value<wharfcore::Library>();
        library->AddRef();
        const int iterations = target >= 128 ? 20 : 100;
        // Two rounds; the second is reported, after the arrival messages of new ports have
        // been handled by the library's worker.
        double bare = 0, refresh = 0;
        for (int round = 0; round < 2; ++round) {
            bare = per_call_us(bare_enumeration, iterations);
            refresh = per_call_us([&] { library->refreshDevices(); }, iterations);
        }
        SAFEARRAY* ports = nullptr;
        library->getPorts(&ports);
        const ULONG listed = ports ? ports->rgsabound[0].cElements : 0;
        if (ports)
            SafeArrayDestroy(ports);
        library->Release();
        std::printf("ports %3d (listed %3lu): bare enumeration %9.1f us, refreshDevices %9.1f us, ratio %.2f"
                    " (creating the ports took %.1f s)\n",
                    target, listed, bare, refresh, refresh / bare, createUs / 1e6);
    }
    for (const auto& id : made) {
        try {
            wharfcore::RemoveDeviceNodeById(id);
        } catch (...) {
        }
    }
    wharfcore::unique_comdb database;
    ComDBOpen(database.put());
    if (database)
        for (int n = 1; n <= present; ++n)
            ComDBReleasePort(database.get(), static_cast<DWORD>(n));
    return 0;
}
