#pragma once
// One virtual serial port of this machine: a device node of the virtual port driver. Every
// connection setting is read from and written to the driver; the object stores none of them.
#include <windows.h>
#include <setupapi.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "trellum/com/module_count.h"
#include "trellum/com/object.h"
#include "type_library.h"
#include "wharfcore/wharfcore.h"

namespace wharfcore {

// A client may keep a Device after the library object is gone: it keeps the module loaded.
class Device : public Trellum::com::details::object<Device, IRemotePortDevice, IRemotePortDeviceEx>,
               public Trellum::com::increments_module_count {
public:
    // Reads both interface paths of the node from the set and its "PortName". Throws
    // corun::details::hresult_error when an interface path cannot be read.
    Device(HDEVINFO set, SP_DEVINFO_DATA& node, std::wstring instanceId);

    const std::wstring& instanceId() const noexcept { return instanceId_; }

    // IRemotePortDevice
    HRESULT STDMETHODCALLTYPE deleteDevice() override;
    HRESULT STDMETHODCALLTYPE get_port(UINT* value) override;
    HRESULT STDMETHODCALLTYPE get_devicePath(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE get_remoteHost(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE put_remoteHost(BSTR value) override;
    HRESULT STDMETHODCALLTYPE get_remotePort(UINT* port) override;
    HRESULT STDMETHODCALLTYPE put_remotePort(UINT port) override;
    HRESULT STDMETHODCALLTYPE get_connectionTimeout(UINT* timeout) override;
    HRESULT STDMETHODCALLTYPE put_connectionTimeout(UINT timeout) override;
    HRESULT STDMETHODCALLTYPE get_connectionAttempts(UINT* retries) override;
    HRESULT STDMETHODCALLTYPE put_connectionAttempts(UINT retries) override;
    HRESULT STDMETHODCALLTYPE get_login(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE put_login(BSTR value) override;
    HRESULT STDMETHODCALLTYPE put_password(BSTR value) override;
    HRESULT STDMETHODCALLTYPE get_domain(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE put_domain(BSTR value) override;

    // IRemotePortDeviceEx: the node is gone; the driver properties answer
    // HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE) from now on.
    void STDMETHODCALLTYPE invalidate() override;

private:
    HRESULT get_string(std::uint32_t code, BSTR* value) noexcept;
    HRESULT put_string(std::uint32_t code, BSTR value) noexcept;
    HRESULT get_number(std::uint32_t code, UINT* value) noexcept;
    HRESULT put_number(std::uint32_t code, UINT value) noexcept;

    std::wstring instanceId_;
    std::wstring devicePath_;
    std::wstring comPortPath_; // kept for diagnostics; no operation uses it
    std::wstring portName_;
    std::uint32_t comNumber_ = 0;
    // Written by the refreshing thread, read by callers on any thread.
    std::atomic<bool> present_{true};
};

} // namespace wharfcore
