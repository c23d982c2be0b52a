#include "library.h"

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <dbt.h>
#include <sddl.h>

#include <algorithm>
#include <exception>
#include <new>

#include "corun/errors.h"
#include "corun/thread_pool.h"
#include "device.h"
#include "device_interfaces.h"
#include "system_library.h"
#include "trellum/com/guarded_call.h"
#include "trellum/com/value.h"
#include "trellum/js_array.h"

namespace wharfcore {
namespace {

constexpr wchar_t presence_mutex_name[] = L"Global\\VelmorSoftware_TIDEWELL_Running_Mutex";
constexpr DWORD worker_window_style = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN;

// The worker's looks after a device event: their spacing and how many. Together they cover
// the second after the event's refresh, well inside the time a port's two interfaces take to
// appear or go.
constexpr ULONGLONG look_interval_ms = 250;
constexpr int looks_after_event = 4;
// Looks for nodes whose interfaces stay incomplete, between two device messages: about ten
// seconds, then the next event decides.
constexpr int looks_for_left_out_nodes = 40;

// Everyone may open the mutex: other processes only look whether it exists.
HANDLE create_presence_mutex() noexcept
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;0x001F0001;;;WD)", SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return nullptr;
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
    const HANDLE mutex = CreateMutexW(&attributes, FALSE, presence_mutex_name);
    LocalFree(descriptor);
    return mutex;
}

} // namespace

// Stops the worker again when the constructor fails after starting it.
class Library::worker_stop_on_failure {
public:
    explicit worker_stop_on_failure(Library& library) noexcept
        : library_(library), exceptions_(std::uncaught_exceptions()) {}
    worker_stop_on_failure(const worker_stop_on_failure&) = delete;
    worker_stop_on_failure& operator=(const worker_stop_on_failure&) = delete;
    ~worker_stop_on_failure()
    {
        if (std::uncaught_exceptions() > exceptions_)
            library_.stopWorker();
    }

private:
    Library& library_;
    int exceptions_;
};

namespace {

struct DeviceScanRecord {
    SP_DEVINFO_DATA node;
    std::wstring instanceId;
};

// A one-dimensional SAFEARRAY of VT_DISPATCH holding the devices' faces.
struct dispatch_array {
    SAFEARRAY* array = nullptr;
    ~dispatch_array()
    {
        if (array)
            SafeArrayDestroy(array);
    }
};

} // namespace

Library::Library()
{
    presenceMutex_.reset(create_presence_mutex());
    stopWorker_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stopWorker_)
        corun::throw_last_error();
    nodeLeftOut_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!nodeLeftOut_)
        corun::throw_last_error();

    // Registered first, scanned second: a port that arrives in between is found by the scan
    // and also reported to the window, whose refresh then finds nothing new; no arrival can
    // fall between the two.
    worker_ = std::thread(&Library::workerThreadProc, this);
    worker_stop_on_failure stopOnFailure(*this);
    {
        std::unique_lock guard(startLock_);
        started_.wait(startLock_, [&] { return startReported_; });
    }
    refreshDevices();
}

Library::~Library() = default;

void Library::stopWorker() noexcept
{
    if (!worker_.joinable())
        return;
    SetEvent(stopWorker_.get());
    worker_.join();
}

bool Library::FinalRelease() noexcept
{
    if (worker_.joinable() && worker_.get_id() == std::this_thread::get_id()) {
        endOnWorker_ = true;
        SetEvent(stopWorker_.get());
        return false;
    }
    stopWorker();
    return true;
}

void Library::endFromThreadPool() noexcept
{
    if (TrySubmitThreadpoolCallback(&Library::endAfterWorker, this, corun::details::module_callback_environment()))
        return;
    // The pool refused: the worker ends the object itself. Once the module lock is given back,
    // COM may unload the module while this thread still runs its code, so the thread takes a
    // reference of its own first and ends in FreeLibraryAndExitThread, which gives it back
    // without returning here (the thread object's small start-up record is not freed then).
    HMODULE module = nullptr;
    worker_.detach();
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&Library::endAfterWorker),
                            &module))
        return; // No reference: the object stays, and with it the module lock, rather than risk unloaded code.
    static_cast<Trellum::com::details::value<Library>*>(this)->end();
    FreeLibraryAndExitThread(module, 0);
}

void CALLBACK Library::endAfterWorker(PTP_CALLBACK_INSTANCE, void* context) noexcept
{
    auto* self = static_cast<Library*>(context);
    self->worker_.join();
    static_cast<Trellum::com::details::value<Library>*>(self)->end();
}

void Library::workerThreadProc() noexcept
{
    runNotificationWindow();
}

void Library::runNotificationWindow() noexcept
{
    const bool made = create(worker_window_style);
    unique_device_notify portNotification, comPortNotification;
    if (made) {
        DEV_BROADCAST_DEVICEINTERFACE_W filter{};
        filter.dbcc_size = sizeof(filter);
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = port_interface_class;
        portNotification.reset(RegisterDeviceNotificationW(hwnd(), &filter, DEVICE_NOTIFY_WINDOW_HANDLE));
        // A port's COM-port interface may come after the driver's own, or go before it: its
        // messages start the refresh that finds the port complete.
        filter.dbcc_classguid = comport_interface_class;
        comPortNotification.reset(RegisterDeviceNotificationW(hwnd(), &filter, DEVICE_NOTIFY_WINDOW_HANDLE));
    }
    {
        std::unique_lock guard(startLock_);
        startReported_ = true;
    }
    started_.notify_all();
    if (!made)
        return;

    // Until the object ends the loop. A WM_QUIT from elsewhere is dropped: the object still
    // needs its notifications.
    const HANDLE stop = stopWorker_.get();
    const HANDLE waits[] = {stop, nodeLeftOut_.get()};
    for (bool running = true; running;) {
        // The stop event comes first: it wins over everything else that is ready.
        const DWORD woke = MsgWaitForMultipleObjectsEx(2, waits, untilNextLook(), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (woke == WAIT_OBJECT_0 + 1) {
            if (looksForLeftOutNodes_ < looks_for_left_out_nodes) {
                ++looksForLeftOutNodes_;
                lookSoon(1);
            }
            continue;
        }
        if (woke == WAIT_TIMEOUT) {
            lookAgain();
            running = WaitForSingleObject(stop, 0) == WAIT_TIMEOUT;
            continue;
        }
        if (woke != WAIT_OBJECT_0 + 2)
            break;
        MSG msg;
        while (running && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT)
                continue;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
            // The last reference may have gone inside this message's notifications.
            running = WaitForSingleObject(stop, 0) == WAIT_TIMEOUT;
        }
    }
    comPortNotification.reset();
    portNotification.reset();
    destroy();
    if (endOnWorker_)
        endFromThreadPool();
}

void Library::lookSoon(int looks) noexcept
{
    if (looksLeft_ == 0)
        nextLook_ = GetTickCount64() + look_interval_ms;
    looksLeft_ = std::max(looksLeft_, looks);
}

void Library::lookAgain() noexcept
{
    --looksLeft_;
    bool changed = false;
    try {
        changed = rescan();
    } catch (...) {
        // The list stays as it was; the looks left, or the next device message, try again.
    }
    // Spaced from the end of this look: a slow refresh is followed by a full pause.
    nextLook_ = GetTickCount64() + look_interval_ms;
    if (changed)
        looksLeft_ = std::max(looksLeft_, looks_after_event);
}

DWORD Library::untilNextLook() const noexcept
{
    if (looksLeft_ <= 0)
        return INFINITE;
    const ULONGLONG now = GetTickCount64();
    return now >= nextLook_ ? 0 : static_cast<DWORD>(nextLook_ - now);
}

bool Library::ProcessWindowMessage(HWND, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    if (message != WM_DEVICECHANGE)
        return false;
    result = 0;
    bool refresh = false;
    if (wParam == DBT_DEVNODES_CHANGED) {
        // Comes with no header at all.
        refresh = lParam == 0 || reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam)->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE;
    } else if (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) {
        refresh = lParam != 0 && reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam)->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE;
    }
    if (refresh) {
        // Nothing may leave the window procedure; a failed refresh keeps the list as it was
        // and the looks that follow try again.
        try {
            rescan();
        } catch (...) {
        }
        // Also for what this message's refresh could not see yet, and for messages the
        // platform dropped while the refresh ran.
        looksForLeftOutNodes_ = 0;
        lookSoon(looks_after_event);
    }
    return true;
}

bool Library::rescan()
{
    std::unique_lock refreshing(refreshLock_);

    unique_devinfo set(SetupDiGetClassDevsExW(&port_interface_class, nullptr, nullptr,
                                                         DIGCF_PRESENT | DIGCF_DEVICEINTERFACE, nullptr, nullptr, nullptr));
    if (!set)
        corun::throw_last_error();

    std::vector<DeviceScanRecord> records;
    for (DWORD index = 0;; ++index) {
        DeviceScanRecord record{};
        record.node.cbSize = sizeof(record.node);
        if (!SetupDiEnumDeviceInfo(set.get(), index, &record.node))
            break;
        wchar_t id[200] = {};
        if (GetDeviceId(record.node.DevInst, id, 200, 0) != CR_SUCCESS)
            continue;
        record.instanceId = id;
        records.push_back(std::move(record));
    }
    std::sort(records.begin(), records.end(),
              [](const DeviceScanRecord& a, const DeviceScanRecord& b) { return a.instanceId < b.instanceId; });

    // The COM-port interfaces of the same nodes join the set: a Device reads both.
    if (SetupDiGetClassDevsExW(&comport_interface_class, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE,
                               set.get(), nullptr, nullptr) == INVALID_HANDLE_VALUE)
        corun::throw_last_error();

    const auto listed = [&](const std::wstring& id) {
        const auto at = std::lower_bound(records.begin(), records.end(), id,
                                         [](const DeviceScanRecord& r, const std::wstring& key) { return r.instanceId < key; });
        return at != records.end() && at->instanceId == id;
    };

    std::vector<device_ref> added;
    std::vector<device_ref> removed;
    bool leftOut = false;
    {
        std::unique_lock guard(devicesLock_);
        for (auto it = devices_.begin(); it != devices_.end();) {
            if (listed(it->first)) {
                ++it;
                continue;
            }
            removed.push_back(it->second);
            Trellum::com::details::ref<IRemotePortDeviceEx> ex;
            if (SUCCEEDED(it->second->QueryInterface(__uuidof(IRemotePortDeviceEx), reinterpret_cast<void**>(ex.put()))))
                ex->invalidate();
            it = devices_.erase(it);
        }
        for (DeviceScanRecord& record : records) {
            if (devices_.count(record.instanceId))
                continue;
            Trellum::com::details::value<Device>* device = nullptr;
            try {
                device = new Trellum::com::details::value<Device>(set.get(), record.node, record.instanceId);
            } catch (const corun::details::hresult_error&) {
                // A node whose interfaces are not complete yet is taken at a later look.
                leftOut = true;
                continue;
            }
            device_ref face(static_cast<IRemotePortDevice*>(device));
            added.push_back(face);
            devices_.emplace(record.instanceId, std::move(face));
        }
    }
    if (leftOut)
        SetEvent(nodeLeftOut_.get());

    if (!added.empty())
        notifyListeners(added, &IRemotePortLibraryListener::added);
    if (!removed.empty())
        notifyListeners(removed, &IRemotePortLibraryListener::deleted);
    return !added.empty() || !removed.empty();
}

void Library::notifyListeners(const std::vector<device_ref>& devices,
                              HRESULT (STDMETHODCALLTYPE IRemotePortLibraryListener::*method)(SAFEARRAY*))
{
    std::shared_lock guard(listenersLock_);
    if (listeners_.empty())
        return;
    dispatch_array holder;
    holder.array = SafeArrayCreateVector(VT_DISPATCH, 0, static_cast<ULONG>(devices.size()));
    if (!holder.array)
        corun::throw_error(E_OUTOFMEMORY);
    const HRESULT locked = SafeArrayLock(holder.array);
    if (FAILED(locked))
        corun::throw_error(locked);
    auto* elements = static_cast<IDispatch**>(holder.array->pvData);
    for (std::size_t i = 0; i < devices.size(); ++i) {
        elements[i] = devices[i].get();
        elements[i]->AddRef();
    }
    for (const auto& listener : listeners_)
        (listener.get()->*method)(holder.array);
    if (FAILED(SafeArrayUnlock(holder.array)))
        holder.array = nullptr; // still locked: it cannot be destroyed
}

HRESULT Library::addListener(IRemotePortLibraryListener* pListener) noexcept
{
    if (!pListener)
        return E_POINTER;
    try {
        std::unique_lock guard(listenersLock_);
        listeners_.emplace_back(pListener);
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT Library::removeListener(IRemotePortLibraryListener* pListener) noexcept
{
    std::unique_lock guard(listenersLock_);
    const auto found = std::find_if(listeners_.begin(), listeners_.end(),
                                    [&](const auto& listener) { return listener.get() == pListener; });
    if (found != listeners_.end())
        listeners_.erase(found);
    return S_OK;
}

HRESULT Library::getPorts(SAFEARRAY** ppval) noexcept
{
    if (!ppval)
        return E_POINTER;
    *ppval = nullptr;
    return Trellum::com::guarded_call([&]() -> HRESULT {
        std::unique_lock guard(devicesLock_);
        dispatch_array holder;
        holder.array = SafeArrayCreateVector(VT_DISPATCH, 0, static_cast<ULONG>(devices_.size()));
        if (!holder.array)
            return E_OUTOFMEMORY;
        const HRESULT locked = SafeArrayLock(holder.array);
        if (FAILED(locked))
            return locked;
        auto* elements = static_cast<IDispatch**>(holder.array->pvData);
        std::size_t i = 0;
        for (const auto& [id, device] : devices_) {
            elements[i] = device.get();
            elements[i]->AddRef();
            ++i;
        }
        SafeArrayUnlock(holder.array);
        *ppval = std::exchange(holder.array, nullptr);
        return S_OK;
    });
}

HRESULT Library::getPortsJs(IDispatch** ppval) noexcept
{
    if (!ppval)
        return E_POINTER;
    *ppval = nullptr;
    return Trellum::com::guarded_call([&]() -> HRESULT {
        std::unique_lock guard(devicesLock_);
        Trellum::com::details::ref<IDispatch> array;
        auto* object = new Trellum::com::details::value<Trellum::CJsArray>();
        object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(array.put()));
        object->elements.reserve(devices_.size());
        for (const auto& [id, device] : devices_) {
            VARIANT source;
            V_VT(&source) = VT_DISPATCH;
            V_DISPATCH(&source) = device.get();
            VARIANT element;
            VariantInit(&element);
            const HRESULT copied = VariantCopy(&element, &source); // adds the element's reference
            if (FAILED(copied))
                return copied;
            object->elements.push_back(element);
        }
        *ppval = array.detach();
        return S_OK;
    });
}

std::vector<Trellum::com::details::ref<IRemotePortDevice>> Library::getDevices()
{
    std::unique_lock guard(devicesLock_);
    std::vector<device_ref> result;
    result.reserve(devices_.size());
    for (const auto& [id, device] : devices_)
        result.push_back(device);
    return result;
}

IRemotePortDevice* Library::findDevice(const std::wstring& instanceId)
{
    std::shared_lock guard(devicesLock_);
    const auto found = devices_.find(instanceId);
    if (found == devices_.end())
        return nullptr;
    IRemotePortDevice* device = found->second.get();
    device->AddRef();
    return device;
}

} // namespace wharfcore
