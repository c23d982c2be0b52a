#include <gtest/gtest.h>

#include <windows.h>
#include <dbt.h>
#include <setupapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <new>
#include <set>
#include <thread>
#include <vector>

#include "comdb.h"
#include "corun/errors.h"
#include "corun/srw_lock.h"
#include "create_port_device.h"
#include "device_interfaces.h"
#include "../support/handle_probe.h"
#include "../support/import_patch.h"
#include "library.h"
#include "port_cleanup.h"
#include "remove_device_node.h"
#include "support/device_nodes.h"
#include "support/doubles_knobs.h"
#include "trellum/com/value.h"
#include "wharfdrv/wharfdrv_controls.h"

using Trellum::com::details::ref;

// This program stands in for the module that counts live objects.
namespace {
std::atomic<long> module_locks{0};
corun::details::srw_lock module_locks_lock;
corun::details::condition_variable module_locks_changed;

// Waits until the count is back at value; false after ten seconds.
bool wait_for_module_locks(long value)
{
    std::unique_lock guard(module_locks_lock);
    return module_locks_changed.wait_for(module_locks_lock, 10000, [&] { return module_locks.load() == value; });
}
} // namespace
long Trellum::com::module_lock() noexcept { return ++module_locks; }
namespace {
// Module references taken through GetModuleHandleExW and not yet given back, while a test
// watches them; and their number when the module lock count last went down.
std::atomic<bool> watching_module_references{false};
std::atomic<int> module_references{0};
std::atomic<int> module_references_at_unlock{-1};
} // namespace
long Trellum::com::module_unlock() noexcept
{
    if (watching_module_references)
        module_references_at_unlock = module_references.load();
    long left;
    {
        std::unique_lock guard(module_locks_lock);
        left = --module_locks;
    }
    module_locks_changed.notify_all();
    return left;
}

namespace {

constexpr HRESULT not_present = static_cast<HRESULT>(0x80070006UL);
constexpr HRESULT in_use = static_cast<HRESULT>(0x800702BAUL);

ref<IRemotePortLibrary> make_library()
{
    auto* object = new Trellum::com::details::value<wharfcore::Library>();
    ref<IRemotePortLibrary> library;
    EXPECT_EQ(object->QueryInterface(__uuidof(IRemotePortLibrary), reinterpret_cast<void**>(library.put())), S_OK);
    return library;
}

wharfcore::Library& as_library(const ref<IRemotePortLibrary>& library)
{
    return static_cast<wharfcore::Library&>(*library.get());
}

class bstr {
public:
    explicit bstr(const wchar_t* text) : value_(SysAllocString(text)) {}
    bstr() = default;
    ~bstr() { SysFreeString(value_); }
    BSTR get() const { return value_; }
    BSTR* put() { SysFreeString(value_); value_ = nullptr; return &value_; }
    std::wstring str() const { return value_ ? std::wstring(value_, SysStringLen(value_)) : std::wstring(); }

private:
    BSTR value_ = nullptr;
};

VARIANT string_argument(BSTR text)
{
    VARIANT v;
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = text;
    return v;
}

VARIANT number_argument(int n)
{
    VARIANT v;
    V_VT(&v) = VT_I4;
    V_I4(&v) = n;
    return v;
}

VARIANT no_argument()
{
    VARIANT v;
    VariantInit(&v);
    return v;
}

UINT port_of(const ref<IRemotePortDevice>& device)
{
    UINT port = 0;
    EXPECT_EQ(device->get_port(&port), S_OK);
    return port;
}

// Records every notification; one entry per call.
class recording_listener : public IRemotePortLibraryListener {
public:
    struct call {
        bool added;
        std::vector<UINT> ports;
        DWORD thread;
    };

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (iid == IID_IUnknown || iid == __uuidof(IRemotePortLibraryListener)) {
            *out = static_cast<IRemotePortLibraryListener*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE added(SAFEARRAY* devices) override { return record(true, devices); }
    HRESULT STDMETHODCALLTYPE deleted(SAFEARRAY* devices) override { return record(false, devices); }

    // Waits until the calls hold this many ports of one kind in all; false after ten seconds.
    bool wait_for_ports(bool added, std::size_t count)
    {
        std::unique_lock guard(lock);
        return changed.wait_for(lock, 10000, [&] { return ports_locked(added) >= count; });
    }
    std::vector<call> calls_copy()
    {
        std::unique_lock guard(lock);
        return calls;
    }

    std::atomic<ULONG> refs{0};
    // When set, the first added() releases this reference (and forgets it).
    std::atomic<IUnknown*> release_on_added{nullptr};
    // When set, the first added() signals this event and then waits for the other one
    // (bounded), keeping the refresh that called it busy.
    std::atomic<HANDLE> hold_entered{nullptr};
    HANDLE hold_released = nullptr;

private:
    std::size_t ports_locked(bool added) const
    {
        std::size_t n = 0;
        for (const auto& c : calls)
            if (c.added == added)
                n += c.ports.size();
        return n;
    }
    HRESULT record(bool added, SAFEARRAY* devices)
    {
        call c{added, {}, GetCurrentThreadId()};
        auto* elements = static_cast<IDispatch**>(devices->pvData);
        for (ULONG i = 0; i < devices->rgsabound[0].cElements; ++i) {
            ref<IRemotePortDevice> device;
            elements[i]->QueryInterface(__uuidof(IRemotePortDevice), reinterpret_cast<void**>(device.put()));
            UINT port = 0;
            device->get_port(&port);
            c.ports.push_back(port);
        }
        {
            std::unique_lock guard(lock);
            calls.push_back(std::move(c));
        }
        changed.notify_all();
        if (added) {
            if (HANDLE entered = hold_entered.exchange(nullptr)) {
                SetEvent(entered);
                WaitForSingleObject(hold_released, 30000);
            }
            if (IUnknown* last = release_on_added.exchange(nullptr))
                last->Release();
        }
        return S_OK;
    }

    corun::details::srw_lock lock;
    corun::details::condition_variable changed;
    std::vector<call> calls;
};

DWORD thread_count()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{sizeof(entry)};
    DWORD count = 0;
    for (BOOL ok = Thread32First(snapshot, &entry); ok; ok = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ++count;
    CloseHandle(snapshot);
    return count;
}

// The numbers held in the COM port database among COM1 to COM32: a second, unforced claim is
// refused while a number is held.
std::set<UINT> claimed_numbers()
{
    std::set<UINT> numbers;
    wharfcore::unique_comdb database;
    ComDBOpen(database.put());
    for (DWORD n = 1; n <= 32 && database; ++n) {
        BOOL forced = FALSE;
        if (ComDBClaimPort(database.get(), n, FALSE, &forced) == ERROR_SUCCESS)
            ComDBReleasePort(database.get(), n);
        else
            numbers.insert(n);
    }
    return numbers;
}

// Makes calls of this thread to one imported function fail while armed; other threads (the
// library's worker) are not affected.
struct failing_calls {
    std::atomic<DWORD> thread{0};
    std::atomic<int> remaining{0};
    void arm(int calls) { thread = GetCurrentThreadId(); remaining = calls; }
    void disarm() { remaining = 0; }
    bool take()
    {
        if (thread != GetCurrentThreadId() || remaining <= 0)
            return false;
        --remaining;
        return true;
    }
};

using get_class_devs_fn = HDEVINFO WINAPI(const GUID*, PCWSTR, HWND, DWORD, HDEVINFO, PCWSTR, PVOID);
failing_calls class_devs_failures;
import_patch* class_devs_patch = nullptr;

HDEVINFO WINAPI failing_get_class_devs(const GUID* guid, PCWSTR enumerator, HWND parent, DWORD flags, HDEVINFO set,
                                       PCWSTR machine, PVOID reserved)
{
    if (class_devs_failures.take()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    return class_devs_patch->original<get_class_devs_fn>()(guid, enumerator, parent, flags, set, machine, reserved);
}

// SetupDiGetClassDevsExW of this program (the library's scans and COM-port enumeration), made
// to fail on demand for the life of the object.
struct class_devs_failing {
    import_patch patch{GetModuleHandleW(nullptr), "setupapi.dll", "SetupDiGetClassDevsExW",
                       reinterpret_cast<void*>(&failing_get_class_devs)};
    class_devs_failing() { class_devs_patch = &patch; }
    ~class_devs_failing() { class_devs_failures.disarm(); }
};

class LibraryDevices : public ::testing::Test {
protected:
    void SetUp() override
    {
        wharf_test::remove_all_virtual_ports();
        expected_claims = claimed_numbers();
        claims_before = expected_claims;
    }
    // Deleting a port leaves its number claimed in the COM port database: exactly the numbers
    // claimed before and those of the ports a test made must be claimed then; no failed
    // creation may leave one behind and none that was another's may have been given up. The
    // test's own claims go back after.
    void TearDown() override
    {
        wharf_test::remove_all_virtual_ports();
        EXPECT_EQ(claimed_numbers(), expected_claims);
        wharfcore::unique_comdb database;
        ComDBOpen(database.put());
        for (UINT n : expected_claims)
            if (!claims_before.count(n))
                ComDBReleasePort(database.get(), n);
    }

    // A port the test made: its number stays claimed.
    UINT made(const ref<IRemotePortDevice>& device)
    {
        const UINT port = port_of(device);
        expected_claims.insert(port);
        return port;
    }
    std::wstring made_node(UINT number)
    {
        expected_claims.insert(number);
        return wharfcore::CreatePortDevice(number);
    }

    std::set<UINT> expected_claims;
    std::set<UINT> claims_before;
};

} // namespace

TEST_F(LibraryDevices, CreatedPortIsListedAndItsSettingsReachTheDriver)
{
    auto library = make_library();
    ref<IRemotePortDevice> device;
    ASSERT_EQ(library->createPort(no_argument(), device.put()), S_OK);
    EXPECT_EQ(made(device), 1u);

    SAFEARRAY* ports = nullptr;
    ASSERT_EQ(library->getPorts(&ports), S_OK);
    EXPECT_EQ(ports->rgsabound[0].cElements, 1u);
    SafeArrayDestroy(ports);
    ref<IDispatch> script;
    ASSERT_EQ(library->getPortsJs(script.put()), S_OK);
    DISPPARAMS none{};
    VARIANT length;
    VariantInit(&length);
    ASSERT_EQ(script->Invoke(-100, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &length, nullptr, nullptr), S_OK);
    EXPECT_EQ(V_I4(&length), 1);

    bstr host(L"server.example"), login(L"operator"), password(L"s3cret"), domain(L"WORKGROUP");
    EXPECT_EQ(device->put_remoteHost(host.get()), S_OK);
    EXPECT_EQ(device->put_remotePort(4001), S_OK);
    EXPECT_EQ(device->put_connectionTimeout(15000), S_OK);
    EXPECT_EQ(device->put_connectionAttempts(3), S_OK);
    EXPECT_EQ(device->put_login(login.get()), S_OK);
    EXPECT_EQ(device->put_password(password.get()), S_OK);
    EXPECT_EQ(device->put_domain(domain.get()), S_OK);

    bstr text;
    UINT number = 0;
    EXPECT_EQ(device->get_remoteHost(text.put()), S_OK);
    EXPECT_EQ(text.str(), L"server.example");
    EXPECT_EQ(device->get_remotePort(&number), S_OK);
    EXPECT_EQ(number, 4001u);
    EXPECT_EQ(device->get_connectionTimeout(&number), S_OK);
    EXPECT_EQ(number, 15000u);
    EXPECT_EQ(device->get_connectionAttempts(&number), S_OK);
    EXPECT_EQ(number, 3u);
    EXPECT_EQ(device->get_login(text.put()), S_OK);
    EXPECT_EQ(text.str(), L"operator");
    EXPECT_EQ(device->get_domain(text.put()), S_OK);
    EXPECT_EQ(text.str(), L"WORKGROUP");
    EXPECT_EQ(device->put_remoteHost(nullptr), S_OK);
    EXPECT_EQ(device->get_remoteHost(text.put()), S_OK);
    EXPECT_EQ(text.get(), nullptr);

    // The password is write-only for the product; the test driver tells it back.
    bstr path;
    ASSERT_EQ(device->get_devicePath(path.put()), S_OK);
    wharf_test::file_handle file(CreateFileW(path.get(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
    std::vector<BYTE> reply(65536);
    DWORD written = 0;
    ASSERT_TRUE(DeviceIoControl(file.get(), IOCTL_WHARFDRV_TEST_GET_PASSWORD, nullptr, 0, reply.data(),
                                static_cast<DWORD>(reply.size()), &written, nullptr));
    EXPECT_EQ(std::wstring(reinterpret_cast<wchar_t*>(reply.data() + 4), *reinterpret_cast<UINT*>(reply.data())), L"s3cret");
}

TEST_F(LibraryDevices, NumberRequestsAreCheckedAndHonoured)
{
    auto library = make_library();
    ref<IRemotePortDevice> first, device;
    ASSERT_EQ(library->createPort(no_argument(), first.put()), S_OK);
    made(first);
    ASSERT_EQ(library->createPort(no_argument(), device.put()), S_OK);
    EXPECT_EQ(made(device), 2u); // COM1 is present
    device->deleteDevice();

    bstr com5(L"COM5"), abc6(L"ABC6"), com0(L"COM0"), com256(L"COM256"), x(L"X"), empty(L""), com1(L"COM1"),
        overlong(L"COM4294967297");
    ASSERT_EQ(library->createPort(number_argument(5), device.put()), S_OK);
    EXPECT_EQ(made(device), 5u);
    EXPECT_EQ(library->createPort(string_argument(com5.get()), device.put()), in_use);
    EXPECT_EQ(device.get(), nullptr);
    ASSERT_EQ(library->createPort(string_argument(abc6.get()), device.put()), S_OK);
    EXPECT_EQ(made(device), 6u);

    EXPECT_EQ(library->createPort(string_argument(com0.get()), device.put()), E_INVALIDARG);
    EXPECT_EQ(library->createPort(string_argument(com256.get()), device.put()), E_INVALIDARG);
    EXPECT_EQ(library->createPort(string_argument(x.get()), device.put()), E_INVALIDARG);
    EXPECT_EQ(library->createPort(string_argument(empty.get()), device.put()), E_INVALIDARG);
    EXPECT_EQ(library->createPort(string_argument(overlong.get()), device.put()), E_INVALIDARG);
    EXPECT_EQ(library->createPort(string_argument(com1.get()), device.put()), in_use);

    bstr com7(L"COM7");
    BSTR held = com7.get();
    VARIANT byref;
    V_VT(&byref) = VT_BYREF | VT_BSTR;
    V_BSTRREF(&byref) = &held;
    ASSERT_EQ(library->createPort(byref, device.put()), S_OK);
    EXPECT_EQ(made(device), 7u);
}

TEST_F(LibraryDevices, InvalidNumberIsRefusedBeforeThePortsAreEnumerated)
{
    auto library = make_library();
    class_devs_failing scans;
    class_devs_failures.arm(1000);
    bstr com0(L"COM0"), com5(L"COM5"), com255(L"COM255"), com256(L"COM256");
    ref<IRemotePortDevice> device;
    EXPECT_EQ(library->createPort(string_argument(com0.get()), device.put()), E_INVALIDARG);
    EXPECT_EQ(library->createPort(number_argument(0), device.put()), E_INVALIDARG);
    EXPECT_EQ(library->createPort(number_argument(256), device.put()), E_INVALIDARG);
    EXPECT_EQ(library->createPort(string_argument(com256.get()), device.put()), E_INVALIDARG);
    // A valid number, the highest included, needs the enumeration, whose failure is the answer then.
    const HRESULT enumeration_failed = HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(library->createPort(string_argument(com5.get()), device.put()), enumeration_failed);
    EXPECT_EQ(library->createPort(number_argument(255), device.put()), enumeration_failed);
    EXPECT_EQ(library->createPort(string_argument(com255.get()), device.put()), enumeration_failed);
    EXPECT_EQ(library->createPort(number_argument(1), device.put()), enumeration_failed);
    EXPECT_EQ(wharf_test::count_virtual_port_nodes(), 0);
}

TEST_F(LibraryDevices, DeletedDeviceIsInvalidatedButKeepsItsPort)
{
    auto library = make_library();
    recording_listener listener;
    ASSERT_EQ(library->addListener(&listener), S_OK);
    ref<IRemotePortDevice> device;
    ASSERT_EQ(library->createPort(number_argument(9), device.put()), S_OK);
    made(device);
    EXPECT_EQ(device->deleteDevice(), S_FALSE);
    // The worker hears of the removal; a refresh of our own makes it certain.
    as_library(library).refreshDevices();
    ASSERT_TRUE(listener.wait_for_ports(false, 1));

    UINT number = 12345;
    EXPECT_EQ(device->get_remotePort(&number), not_present);
    EXPECT_EQ(number, 0u) << "a failed get leaves no stale value";
    EXPECT_EQ(device->put_remotePort(1), not_present);
    EXPECT_EQ(device->deleteDevice(), not_present);
    EXPECT_EQ(port_of(device), 9u);
    bstr path;
    EXPECT_EQ(device->get_devicePath(path.put()), S_OK);
    EXPECT_FALSE(path.str().empty());
    EXPECT_EQ(library->removeListener(&listener), S_OK);
    EXPECT_EQ(listener.refs.load(), 0u);
}

// The driver enables its two interfaces, and disables them, apart and in either order; the
// platform announces each on its own. The library lists each port once both are there and lets
// it go once its own is gone, with no refresh of the test's and no other device event.
TEST_F(LibraryDevices, ListenersHearTheDriversArrivalsAndRemovalsOnTheWorker)
{
    wharf_test::knob_guard pause(wharf_test::knob_driver_interface_pause, 300, HKEY_LOCAL_MACHINE);
    for (const DWORD comPortFirst : {0u, 1u}) {
        SCOPED_TRACE(comPortFirst ? "COM-port interface first" : "driver's interface first");
        wharf_test::knob_guard order(wharf_test::knob_driver_comport_interface_first, comPortFirst, HKEY_LOCAL_MACHINE);
        auto library = make_library();
        recording_listener listener;
        ASSERT_EQ(library->addListener(&listener), S_OK);
        // Made and removed past the library: it learns of them only from the driver's notifications.
        const std::wstring a = made_node(3), b = made_node(4);
        ASSERT_TRUE(listener.wait_for_ports(true, 2));
        wharfcore::RemoveDeviceNodeById(a);
        wharfcore::RemoveDeviceNodeById(b);
        ASSERT_TRUE(listener.wait_for_ports(false, 2));

        std::multiset<UINT> added, deleted;
        bool removals_started = false;
        for (const auto& call : listener.calls_copy()) {
            EXPECT_FALSE(call.ports.empty());
            EXPECT_NE(call.thread, GetCurrentThreadId());
            if (!call.added)
                removals_started = true;
            EXPECT_FALSE(call.added && removals_started) << "an arrival reported after the removals";
            (call.added ? added : deleted).insert(call.ports.begin(), call.ports.end());
        }
        EXPECT_EQ(added, (std::multiset<UINT>{3, 4}));
        EXPECT_EQ(deleted, (std::multiset<UINT>{3, 4}));
        EXPECT_EQ(as_library(library).getDevices().size(), 0u);
        library->removeListener(&listener);
    }
}

// The platform drops a device message that the window's thread has not taken within a
// couple of seconds. A port that goes while the worker is still busy with an earlier change
// (here a listener that takes its time) is let go all the same, with no further event.
TEST_F(LibraryDevices, RemovalWhileTheWorkerIsBusyIsStillReported)
{
    auto library = make_library();
    recording_listener listener;
    const HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    listener.hold_released = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    listener.hold_entered = entered;
    ASSERT_EQ(library->addListener(&listener), S_OK);
    const std::wstring a = made_node(3);
    ASSERT_EQ(WaitForSingleObject(entered, 10000), WAIT_OBJECT_0);
    wharfcore::RemoveDeviceNodeById(a);
    // Longer than the platform waits for each of the port's two removal messages.
    Sleep(5000);
    SetEvent(listener.hold_released);
    EXPECT_TRUE(listener.wait_for_ports(false, 1)) << "the removal was never noticed";
    EXPECT_EQ(as_library(library).getDevices().size(), 0u);
    library->removeListener(&listener);
    CloseHandle(entered);
    CloseHandle(listener.hold_released);
}

TEST_F(LibraryDevices, DeviceNotificationWithoutHeaderIsHarmless)
{
    auto library = make_library();
    const HWND window = as_library(library).notificationWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(SendMessageW(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0), 0);
    EXPECT_EQ(SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0), 0);
    EXPECT_EQ(SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, 0), 0);
}

TEST_F(LibraryDevices, ConcurrentCreationsGetDistinctNumbers)
{
    auto library = make_library();
    constexpr int callers = 8;
    std::vector<UINT> ports(callers);
    std::vector<HRESULT> results(callers);
    std::vector<std::thread> threads;
    for (int i = 0; i < callers; ++i)
        threads.emplace_back([&, i] {
            ref<IRemotePortDevice> device;
            results[i] = library->createPort(no_argument(), device.put());
            if (device)
                device->get_port(&ports[i]);
        });
    for (auto& t : threads)
        t.join();
    expected_claims.insert(ports.begin(), ports.end());
    for (HRESULT hr : results)
        EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(std::set<UINT>(ports.begin(), ports.end()).size(), static_cast<std::size_t>(callers));
}

namespace {

// Creates a port right after the first scan of a library under construction has read the
// present devices, before the scan is over.
struct arrival_after_first_scan {
    import_patch* patch = nullptr;
    std::atomic<DWORD> thread{0};
    std::function<void()> arrive;
} after_first_scan;

HDEVINFO WINAPI scan_then_arrive(const GUID* guid, PCWSTR enumerator, HWND parent, DWORD flags, HDEVINFO set,
                                 PCWSTR machine, PVOID reserved)
{
    const HDEVINFO result =
        after_first_scan.patch->original<get_class_devs_fn>()(guid, enumerator, parent, flags, set, machine, reserved);
    if (guid && *guid == wharfcore::port_interface_class && !set &&
        after_first_scan.thread.exchange(0) == GetCurrentThreadId())
        after_first_scan.arrive();
    return result;
}

} // namespace

TEST_F(LibraryDevices, PortArrivingRightAfterTheFirstScanIsListed)
{
    import_patch patch(GetModuleHandleW(nullptr), "setupapi.dll", "SetupDiGetClassDevsExW",
                       reinterpret_cast<void*>(&scan_then_arrive));
    ASSERT_TRUE(patch.active());
    after_first_scan.patch = &patch;
    after_first_scan.arrive = [&] { made_node(11); };
    after_first_scan.thread = GetCurrentThreadId();
    auto library = make_library();
    after_first_scan.thread = 0;
    ASSERT_EQ(expected_claims.count(11), 1u) << "the port was not made during the first scan";

    // Listed by the first scan's own refresh, or reported by the worker's refresh after it.
    recording_listener listener;
    ASSERT_EQ(library->addListener(&listener), S_OK);
    std::set<UINT> known;
    for (const auto& device : as_library(library).getDevices())
        known.insert(port_of(device));
    EXPECT_TRUE(known.count(11) || listener.wait_for_ports(true, 1)) << "the arrival was never noticed";
    library->removeListener(&listener);
}

TEST_F(LibraryDevices, FailedScanKeepsTheDeviceList)
{
    auto library = make_library();
    ref<IRemotePortDevice> device;
    ASSERT_EQ(library->createPort(no_argument(), device.put()), S_OK);
    made(device);
    {
        class_devs_failing scans;
        class_devs_failures.arm(1);
        EXPECT_THROW(as_library(library).refreshDevices(), corun::details::hresult_error);
    }
    EXPECT_EQ(as_library(library).getDevices().size(), 1u);
    UINT number = 0;
    EXPECT_EQ(device->get_remotePort(&number), S_OK) << "the device was given up";
}

namespace {

using enum_interfaces_fn = BOOL WINAPI(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD, PSP_DEVICE_INTERFACE_DATA);
failing_calls interface_failures;
import_patch* interface_patch = nullptr;

BOOL WINAPI failing_enum_interfaces(HDEVINFO set, PSP_DEVINFO_DATA node, const GUID* guid, DWORD index,
                                    PSP_DEVICE_INTERFACE_DATA data)
{
    if (interface_failures.take()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    return interface_patch->original<enum_interfaces_fn>()(set, node, guid, index, data);
}

} // namespace

TEST_F(LibraryDevices, NodeWhoseDeviceCannotBeReadIsSkippedAndTakenLater)
{
    made_node(3);
    made_node(4);
    import_patch patch(GetModuleHandleW(nullptr), "setupapi.dll", "SetupDiEnumDeviceInterfaces",
                       reinterpret_cast<void*>(&failing_enum_interfaces));
    ASSERT_TRUE(patch.active());
    interface_patch = &patch;
    // The first Device of the first scan finds its interfaces incomplete.
    interface_failures.arm(1);
    Trellum::com::details::value<wharfcore::Library>* object = nullptr;
    ASSERT_NO_THROW(object = new Trellum::com::details::value<wharfcore::Library>());
    interface_failures.disarm();
    ref<IRemotePortLibrary> library;
    object->QueryInterface(__uuidof(IRemotePortLibrary), reinterpret_cast<void**>(library.put()));
    EXPECT_EQ(as_library(library).getDevices().size(), 1u);
    // No device event follows: the library looks again by itself.
    bool both = false;
    for (int i = 0; i < 500 && !both; ++i) {
        both = as_library(library).getDevices().size() == 2;
        if (!both)
            Sleep(20);
    }
    EXPECT_TRUE(both) << "the node left out was never taken";
}

namespace {

// Memory runs out for this thread's first allocation right after the library has made a node,
// that is once the node's set is destroyed at the end of its creation.
struct allocation_failure_after_node {
    import_patch* installer = nullptr;
    import_patch* destroy = nullptr;
    std::atomic<DWORD> thread{0};
    std::atomic<bool> node_registered{false};
    std::atomic<bool> fail_next{false};
    std::atomic<int> failed{0};
} after_node;

BOOL WINAPI noting_class_installer(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA node)
{
    if (function == DIF_REGISTERDEVICE && after_node.thread == GetCurrentThreadId())
        after_node.node_registered = true;
    return after_node.installer->original<decltype(SetupDiCallClassInstaller)>()(function, set, node);
}

BOOL WINAPI arming_destroy_list(HDEVINFO set)
{
    const BOOL destroyed = after_node.destroy->original<decltype(SetupDiDestroyDeviceInfoList)>()(set);
    if (after_node.thread == GetCurrentThreadId() && after_node.node_registered.exchange(false))
        after_node.fail_next = true;
    return destroyed;
}

} // namespace

// Every allocation of this program; fails once when armed above. The runtime's own operator
// delete frees with free().
void* operator new(std::size_t size)
{
    if (after_node.fail_next && after_node.thread == GetCurrentThreadId() && after_node.fail_next.exchange(false)) {
        ++after_node.failed;
        throw std::bad_alloc();
    }
    if (void* block = std::malloc(size ? size : 1))
        return block;
    throw std::bad_alloc();
}

// A node made by createPort that it cannot hand out is removed again whatever ended the call:
// a wait that runs out, or memory that runs out right after the node was made.
TEST_F(LibraryDevices, NodeThatCannotBeHandedOutIsRemovedAndOnlyItsOwnClaimIsGivenBack)
{
    {
        import_patch installer(GetModuleHandleW(nullptr), "setupapi.dll", "SetupDiCallClassInstaller",
                               reinterpret_cast<void*>(&noting_class_installer));
        import_patch destroy(GetModuleHandleW(nullptr), "setupapi.dll", "SetupDiDestroyDeviceInfoList",
                             reinterpret_cast<void*>(&arming_destroy_list));
        ASSERT_TRUE(installer.active() && destroy.active());
        after_node.installer = &installer;
        after_node.destroy = &destroy;
        after_node.thread = GetCurrentThreadId();
        auto library = make_library();
        ref<IRemotePortDevice> device;
        EXPECT_EQ(library->createPort(number_argument(15), device.put()), E_OUTOFMEMORY);
        after_node.thread = 0;
        EXPECT_EQ(after_node.failed.load(), 1) << "no node was made";
        EXPECT_EQ(device.get(), nullptr);
        EXPECT_EQ(wharf_test::count_virtual_port_nodes(), 0);
        EXPECT_EQ(claimed_numbers(), expected_claims);
    }

    // COM14 is reserved by a device that is not present (an unplugged adapter, say): the
    // forced claim takes the reservation over and must leave it in place.
    {
        wharfcore::unique_comdb database;
        ComDBOpen(database.put());
        ASSERT_EQ(ComDBClaimPort(database.get(), 14, FALSE, nullptr), ERROR_SUCCESS);
    }
    expected_claims.insert(14);
    wharf_test::knob_guard knob(wharf_test::knob_install_nothing, 1);
    auto library = make_library();
    HRESULT results[2] = {S_OK, S_OK};
    std::thread free_number([&] {
        ref<IRemotePortDevice> device;
        results[0] = library->createPort(number_argument(13), device.put());
    });
    std::thread reserved_number([&] {
        ref<IRemotePortDevice> device;
        results[1] = library->createPort(number_argument(14), device.put());
    });
    free_number.join();
    reserved_number.join();
    EXPECT_EQ(results[0], HRESULT_FROM_WIN32(ERROR_TIMEOUT));
    EXPECT_EQ(results[1], HRESULT_FROM_WIN32(ERROR_TIMEOUT));
    EXPECT_EQ(wharf_test::count_virtual_port_nodes(), 0);
}

TEST(LibraryLifetime, RepeatedCreateAndReleaseLeavesNoHandlesThreadsOrLocks)
{
    make_library().reset(); // first use loads what stays loaded
    const std::uintptr_t handlesBefore = wharf_test::handle_table_mark();
    const DWORD threadsBefore = thread_count();
    const long locksBefore = module_locks.load();
    for (int i = 0; i < 200; ++i)
        make_library().reset();
    // A busy machine may have the platform start a pool thread meanwhile, with a handle or two
    // of its own: four slots (handle values step by 4) are let by; a handle kept per object
    // would be 200.
    constexpr std::uintptr_t platform_slack = 4 * 4;
    EXPECT_LE(wharf_test::handle_table_mark(), handlesBefore + platform_slack) << "handles were left open";
    EXPECT_LE(thread_count(), threadsBefore + 1);
    EXPECT_EQ(module_locks.load(), locksBefore);
}

TEST(LibraryLifetime, LiveLibraryHoldsTheModuleAndThePresenceMutex)
{
    const long before = module_locks.load();
    auto library = make_library();
    EXPECT_EQ(module_locks.load(), before + 1);
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\VelmorSoftware_TIDEWELL_Running_Mutex");
    EXPECT_NE(mutex, nullptr);
    if (mutex)
        CloseHandle(mutex);
    library.reset();
    EXPECT_EQ(module_locks.load(), before);
}

TEST(LibraryLifetime, ObjectEndedAfterAFailedFirstQueryLeavesNothingBehind)
{
    make_library().reset();
    const DWORD threadsBefore = thread_count();
    const long locksBefore = module_locks.load();
    for (int i = 0; i < 20; ++i) {
        // What the class factory does when the first QueryInterface fails.
        auto* object = new Trellum::com::details::value<wharfcore::Library>();
        void* out = nullptr;
        EXPECT_EQ(object->QueryInterface(IID_IClassFactory, &out), E_NOINTERFACE);
        object->destroy();
    }
    EXPECT_EQ(module_locks.load(), locksBefore);
    EXPECT_LE(thread_count(), threadsBefore + 1);
}

TEST_F(LibraryDevices, LastReleaseInsideANotificationOnTheWorkerEndsTheObject)
{
    const long before = module_locks.load();
    auto* object = new Trellum::com::details::value<wharfcore::Library>();
    IRemotePortLibrary* library = nullptr;
    ASSERT_EQ(object->QueryInterface(__uuidof(IRemotePortLibrary), reinterpret_cast<void**>(&library)), S_OK);
    recording_listener listener;
    ASSERT_EQ(library->addListener(&listener), S_OK);
    // From here the listener holds the only reference, and drops it when the worker reports
    // the port below.
    listener.release_on_added = library;
    made_node(12);
    EXPECT_TRUE(wait_for_module_locks(before)) << "the library never ended";
    EXPECT_EQ(listener.refs.load(), 0u);
    const auto calls = listener.calls_copy();
    ASSERT_FALSE(calls.empty());
    EXPECT_NE(calls.front().thread, GetCurrentThreadId());
}

namespace {

import_patch* module_handle_patch = nullptr;
import_patch* exit_thread_patch = nullptr;
std::atomic<DWORD> exited_thread{0};
std::atomic<HMODULE> exited_module{nullptr};

BOOL WINAPI counting_get_module_handle(DWORD flags, LPCWSTR name, HMODULE* module)
{
    const BOOL got = module_handle_patch->original<decltype(GetModuleHandleExW)>()(flags, name, module);
    if (got && watching_module_references && !(flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT))
        ++module_references;
    return got;
}

void WINAPI recording_exit_thread(HMODULE module, DWORD code)
{
    --module_references;
    exited_module = module;
    exited_thread = GetCurrentThreadId();
    exit_thread_patch->original<decltype(FreeLibraryAndExitThread)>()(module, code);
}

// Keeps the import in this program whether or not the library code calls it, so that the
// patch below finds its slot either way.
decltype(&FreeLibraryAndExitThread) volatile exit_thread_import = &FreeLibraryAndExitThread;

BOOL WINAPI refusing_submit(PTP_SIMPLE_CALLBACK, PVOID, PTP_CALLBACK_ENVIRON)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
}

} // namespace

// With the pool refusing, the worker that heard the last release ends the object itself; it
// must still hold the module when the object gives its module lock back, and end its thread
// without returning into the module's code.
TEST_F(LibraryDevices, WorkerEndingTheObjectItselfHoldsTheModuleUntilItsThreadEnds)
{
    import_patch submit(GetModuleHandleW(nullptr), "kernel32.dll", "TrySubmitThreadpoolCallback",
                        reinterpret_cast<void*>(&refusing_submit));
    import_patch handle(GetModuleHandleW(nullptr), "kernel32.dll", "GetModuleHandleExW",
                        reinterpret_cast<void*>(&counting_get_module_handle));
    import_patch exit(GetModuleHandleW(nullptr), "kernel32.dll", "FreeLibraryAndExitThread",
                      reinterpret_cast<void*>(&recording_exit_thread));
    ASSERT_TRUE(submit.active() && handle.active() && exit.active());
    module_handle_patch = &handle;
    exit_thread_patch = &exit;
    exited_thread = 0;
    module_references = 0;
    module_references_at_unlock = -1;

    const long before = module_locks.load();
    auto* object = new Trellum::com::details::value<wharfcore::Library>();
    IRemotePortLibrary* library = nullptr;
    ASSERT_EQ(object->QueryInterface(__uuidof(IRemotePortLibrary), reinterpret_cast<void**>(&library)), S_OK);
    recording_listener listener;
    ASSERT_EQ(library->addListener(&listener), S_OK);
    watching_module_references = true;
    listener.release_on_added = library;
    made_node(12);
    EXPECT_TRUE(wait_for_module_locks(before)) << "the library never ended";
    for (int i = 0; i < 500 && !exited_thread; ++i)
        Sleep(20);
    watching_module_references = false;
    EXPECT_NE(exited_thread.load(), 0u) << "the worker did not end through FreeLibraryAndExitThread";
    EXPECT_EQ(module_references_at_unlock.load(), 1) << "the module lock went back while the worker held no reference";
    EXPECT_EQ(module_references.load(), 0);
    EXPECT_EQ(exited_module.load(), GetModuleHandleW(nullptr)) << "not the module that holds the library";
    const auto calls = listener.calls_copy();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(exited_thread.load(), calls.front().thread);
    const HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, exited_thread);
    if (thread) {
        EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
}

TEST(LibraryLifetime, FinalReleaseEndsAWorkerWhoseWindowWasClosed)
{
    auto library = make_library();
    const HWND window = as_library(library).notificationWindow();
    ASSERT_NE(window, nullptr);
    // Anyone may close a message-only window; its thread goes on pumping.
    SendMessageW(window, WM_CLOSE, 0, 0);
    ASSERT_FALSE(IsWindow(window));
    const HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread releaser([held = std::move(library), done]() mutable {
        held.reset();
        SetEvent(done);
    });
    if (WaitForSingleObject(done, 30000) == WAIT_OBJECT_0) {
        releaser.join();
    } else {
        releaser.detach();
        ADD_FAILURE() << "the final release never returned";
    }
    CloseHandle(done);
}
