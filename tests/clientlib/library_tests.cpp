#include <gtest/gtest.h>

#include <windows.h>
#include <dbt.h>
#include <setupapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "corun/srw_lock.h"
#include "comdb.h"
#include "library.h"
#include "port_cleanup.h"
#include "support/device_nodes.h"
#include "trellum/com/value.h"
#include "wharfdrv/wharfdrv_controls.h"

using Trellum::com::details::ref;

// This program stands in for the module that counts live objects.
namespace {
std::atomic<long> module_locks{0};
}
long Trellum::com::module_lock() noexcept { return ++module_locks; }
long Trellum::com::module_unlock() noexcept { return --module_locks; }

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
        call c{added, {}};
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
        return S_OK;
    }

    corun::details::srw_lock lock;
    corun::details::condition_variable changed;
    std::vector<call> calls;
};

void deliver_arrival(HWND window)
{
    DEV_BROADCAST_DEVICEINTERFACE_W header{};
    header.dbcc_size = sizeof(header);
    header.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&header));
}

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

// Deleting a port leaves its number claimed in the COM port database; the tests give back
// what they claimed so that later tests find the database as it was.
void release_claims()
{
    wharfcore::unique_comdb database;
    ComDBOpen(database.put());
    if (database)
        for (DWORD n = 1; n <= 16; ++n)
            ComDBReleasePort(database.get(), n);
}

class LibraryDevices : public ::testing::Test {
protected:
    void SetUp() override { wharf_test::remove_all_virtual_ports(); }
    void TearDown() override
    {
        wharf_test::remove_all_virtual_ports();
        release_claims();
    }
};

} // namespace

TEST_F(LibraryDevices, CreatedPortIsListedAndItsSettingsReachTheDriver)
{
    auto library = make_library();
    ref<IRemotePortDevice> device;
    ASSERT_EQ(library->createPort(no_argument(), device.put()), S_OK);
    EXPECT_EQ(port_of(device), 1u);

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
    ASSERT_EQ(library->createPort(no_argument(), device.put()), S_OK);
    EXPECT_EQ(port_of(device), 2u); // COM1 is present
    device->deleteDevice();

    bstr com5(L"COM5"), abc6(L"ABC6"), com0(L"COM0"), com256(L"COM256"), x(L"X"), empty(L""), com1(L"COM1"),
        overlong(L"COM4294967297");
    ASSERT_EQ(library->createPort(number_argument(5), device.put()), S_OK);
    EXPECT_EQ(port_of(device), 5u);
    EXPECT_EQ(library->createPort(string_argument(com5.get()), device.put()), in_use);
    EXPECT_EQ(device.get(), nullptr);
    ASSERT_EQ(library->createPort(string_argument(abc6.get()), device.put()), S_OK);
    EXPECT_EQ(port_of(device), 6u);

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
    EXPECT_EQ(port_of(device), 7u);
}

TEST_F(LibraryDevices, DeletedDeviceIsInvalidatedButKeepsItsPort)
{
    auto library = make_library();
    recording_listener listener;
    ASSERT_EQ(library->addListener(&listener), S_OK);
    ref<IRemotePortDevice> device;
    ASSERT_EQ(library->createPort(number_argument(9), device.put()), S_OK);
    EXPECT_EQ(device->deleteDevice(), S_FALSE);
    // The worker hears of the removal; a refresh of our own makes it certain.
    as_library(library).refreshDevices();
    ASSERT_TRUE(listener.wait_for_ports(false, 1));

    UINT number = 0;
    EXPECT_EQ(device->get_remotePort(&number), not_present);
    EXPECT_EQ(device->put_remotePort(1), not_present);
    EXPECT_EQ(device->deleteDevice(), not_present);
    EXPECT_EQ(port_of(device), 9u);
    bstr path;
    EXPECT_EQ(device->get_devicePath(path.put()), S_OK);
    EXPECT_FALSE(path.str().empty());
    EXPECT_EQ(library->removeListener(&listener), S_OK);
    EXPECT_EQ(listener.refs.load(), 0u);
}

TEST_F(LibraryDevices, ListenersHearArrivalsOnceThenRemovals)
{
    auto library = make_library();
    recording_listener listener;
    ASSERT_EQ(library->addListener(&listener), S_OK);
    ref<IRemotePortDevice> a, b;
    ASSERT_EQ(library->createPort(number_argument(3), a.put()), S_OK);
    ASSERT_EQ(library->createPort(number_argument(4), b.put()), S_OK);
    ASSERT_TRUE(listener.wait_for_ports(true, 2));
    a->deleteDevice();
    b->deleteDevice();
    deliver_arrival(as_library(library).notificationWindow()); // in case no removal message comes
    ASSERT_TRUE(listener.wait_for_ports(false, 2));

    std::multiset<UINT> added, deleted;
    for (const auto& call : listener.calls_copy()) {
        EXPECT_FALSE(call.ports.empty());
        (call.added ? added : deleted).insert(call.ports.begin(), call.ports.end());
    }
    EXPECT_EQ(added, (std::multiset<UINT>{3, 4}));
    EXPECT_EQ(deleted, (std::multiset<UINT>{3, 4}));
    library->removeListener(&listener);
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
    for (HRESULT hr : results)
        EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(std::set<UINT>(ports.begin(), ports.end()).size(), static_cast<std::size_t>(callers));
}

TEST(LibraryLifetime, RepeatedCreateAndReleaseLeavesNoHandlesThreadsOrLocks)
{
    make_library().reset(); // first use loads what stays loaded
    DWORD handlesBefore = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handlesBefore);
    const DWORD threadsBefore = thread_count();
    const long locksBefore = module_locks.load();
    for (int i = 0; i < 200; ++i)
        make_library().reset();
    DWORD handlesAfter = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handlesAfter);
    EXPECT_LE(handlesAfter, handlesBefore + 5);
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
