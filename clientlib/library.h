#pragma once
// The object behind RemotePortLibrary: the list of virtual ports present on this machine,
// kept current by a worker thread that owns a message-only window registered for the
// driver's device-interface class (and the COM-port class, which every port also has), and
// the listeners told of ports that arrive or go.
//
// The worker refreshes on each device message and then looks again a few times shortly
// after: a port is announced per interface, one at a time, and it can be read only once both
// are there; and the platform drops device messages that the worker does not take within a
// couple of seconds, for instance while it is still refreshing for an earlier one.
//
// Locks, always taken in this order: the refresh lock (held across one whole refresh,
// listener calls included), the device-list lock (released before listeners are called),
// the listener lock. A listener must not call addListener, removeListener or createPort of
// the same library from a notification.
#include <windows.h>

#include <string>
#include <shared_mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "corun/future.h"
#include "corun/srw_lock.h"
#include "message_window.h"
#include "trellum/com/module_count.h"
#include "trellum/com/object.h"
#include "trellum/com/ref.h"
#include "trellum/com/value.h"
#include "type_library.h"
#include "wharfcore/iclient_stub.h"
#include "wharfcore/unique_handles.h"
#include "wharfcore/wharfcore.h"

namespace wharfcore {

class Library : public Trellum::com::details::object<Library, IRemotePortLibrary, IRemotePortLibraryEx>,
                public Trellum::com::increments_module_count,
                public IClient_Remote,
                public message_window {
public:
    // Creates the presence mutex, starts the worker thread, waits until the worker has made
    // its window and registered it for device notifications (or given up), then scans the
    // present devices. Throws on failure.
    Library();
    ~Library();

    static HRESULT CreateInstance(REFIID iid, void** out, IUnknown* outer) noexcept;
    static HRESULT UpdateRegistry(bool register_it) noexcept;

    // Run by value<Library> when the last reference goes: ends the worker and joins it. When
    // the last reference goes on the worker thread itself (a listener dropped it inside a
    // notification), the worker cannot wait for itself: FinalRelease answers false and the
    // object is ended from the thread pool once the worker has returned.
    bool FinalRelease() noexcept;

    // IRemotePortLibrary
    HRESULT STDMETHODCALLTYPE createPort(VARIANT PortName, IRemotePortDevice** ppDevice) noexcept override;
    HRESULT STDMETHODCALLTYPE getRemoteSharedPorts(BSTR hostname, SAFEARRAY** ppval) noexcept override;
    HRESULT STDMETHODCALLTYPE getRemoteSharedPortsJs(BSTR hostname, IDispatch** ppval) noexcept override;
    HRESULT STDMETHODCALLTYPE addListener(IRemotePortLibraryListener* pListener) noexcept override;
    HRESULT STDMETHODCALLTYPE removeListener(IRemotePortLibraryListener* pListener) noexcept override;
    HRESULT STDMETHODCALLTYPE getPorts(SAFEARRAY** ppval) noexcept override;
    HRESULT STDMETHODCALLTYPE getPortsJs(IDispatch** ppval) noexcept override;

    // IRemotePortLibraryEx
    std::vector<Trellum::com::details::ref<IRemotePortDevice>> STDMETHODCALLTYPE getDevices() override;
    corun::details::future<std::vector<SharedPortRecord>> STDMETHODCALLTYPE
    getRemoteSharedPortsAsync(const std::wstring& hostname) override;
    HRESULT STDMETHODCALLTYPE checkCredentials(const std::wstring& host, const std::wstring& user,
                                               const std::wstring& password, const std::wstring& domain) override;

    // Rescans the driver's devices and tells listeners what came and went. Throws when the
    // scan cannot be made; the device list then stays as it was. A node whose interfaces
    // cannot be read yet is left out and makes the worker look again soon.
    void refreshDevices() { rescan(); }

    // The worker's window, for tests that deliver device-change messages themselves; null
    // when the worker could not make it.
    HWND notificationWindow() const noexcept { return hwnd(); }

protected:
    bool ProcessWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    std::vector<SharedPortRecord> querySharedPortsBlocking(BSTR hostname);
    using device_ref = Trellum::com::details::ref<IRemotePortDevice>;

    class worker_stop_on_failure;
    // The refresh; true when it added or removed a device.
    bool rescan();
    void workerThreadProc() noexcept;
    void runNotificationWindow() noexcept;
    // The worker's later looks (worker thread only): a few after a device message or a
    // change, one more for a node that could not be read yet.
    void lookSoon(int looks) noexcept;
    void lookAgain() noexcept;
    DWORD untilNextLook() const noexcept;
    // Ends the worker's message loop and waits for the thread. Not on the worker itself.
    void stopWorker() noexcept;
    // On the worker, after its loop, when the last reference went on it. When the pool refuses
    // the work, ends the object itself and ends the thread: it does not return then.
    void endFromThreadPool() noexcept;
    static void CALLBACK endAfterWorker(PTP_CALLBACK_INSTANCE, void* context) noexcept;
    void notifyListeners(const std::vector<device_ref>& devices,
                         HRESULT (STDMETHODCALLTYPE IRemotePortLibraryListener::*method)(SAFEARRAY*));
    // The device with this instance ID, with a reference added; null when not listed.
    IRemotePortDevice* findDevice(const std::wstring& instanceId);
    // Waits in bounded steps; for a node that never shows up ERROR_TIMEOUT is thrown (createPort
    // then removes the node again).
    IRemotePortDevice* waitForDevice(const std::wstring& instanceId);

    unique_handle presenceMutex_;
    corun::details::srw_lock refreshLock_;
    corun::details::srw_lock devicesLock_;
    std::unordered_map<std::wstring, device_ref> devices_;
    corun::details::srw_lock listenersLock_;
    std::vector<Trellum::com::details::ref<IRemotePortLibraryListener>> listeners_;

    // The worker's start-up report: set once the window is made and registered, or has failed.
    corun::details::srw_lock startLock_;
    corun::details::condition_variable started_;
    bool startReported_ = false;
    // Set once to end the worker's message loop; an event, since it cannot fail the way a
    // posted message can (a window already gone, a full queue).
    unique_handle stopWorker_;
    // Set (auto-reset) by a refresh on any thread that left a node out.
    unique_handle nodeLeftOut_;
    // Written and read on the worker thread only.
    bool endOnWorker_ = false;
    int looksLeft_ = 0;
    ULONGLONG nextLook_ = 0;
    int looksForLeftOutNodes_ = 0;
    std::thread worker_;
};

} // namespace wharfcore
