#include "device.h"

#include <new>
#include <stdexcept>
#include <vector>

#include "corun/errors.h"
#include "device_interfaces.h"
#include "driver_buffers.h"
#include "driver_exchange.h"
#include "remove_device_node.h"
#include "trellum/com/guarded_call.h"
#include "wharfcore/com_number.h"
#include "wharfcore/unique_handles.h"

namespace wharfcore {
namespace {

constexpr HRESULT not_present = static_cast<HRESULT>(0x80070006UL); // HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE)

std::wstring interface_path(HDEVINFO set, SP_DEVINFO_DATA& node, const GUID& interfaceClass)
{
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    if (!SetupDiEnumDeviceInterfaces(set, &node, &interfaceClass, 0, &data))
        corun::throw_last_error();
    DWORD size = 0;
    if (SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr))
        corun::throw_win32_error(ERROR_INVALID_DATA);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
        corun::throw_last_error();
    std::vector<std::byte> buffer(size);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, nullptr))
        corun::throw_last_error();
    const std::size_t maxChars = (size - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(wchar_t);
    return std::wstring(detail->DevicePath, wcsnlen(detail->DevicePath, maxChars));
}

std::wstring read_port_name(HDEVINFO set, SP_DEVINFO_DATA& node)
{
    wharfcore::unique_setup_hkey key(SetupDiOpenDevRegKey(set, &node, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ));
    if (!key)
        return {};
    wchar_t text[260] = {};
    DWORD type = 0;
    DWORD size = sizeof(text);
    if (RegQueryValueExW(key.get(), L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS)
        return {};
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return {};
    return std::wstring(text, wcsnlen(text, size / sizeof(wchar_t)));
}

// A new BSTR for the library's callers: an empty string gives a null BSTR.
HRESULT to_bstr(const std::wstring& text, BSTR* out) noexcept
{
    *out = nullptr;
    if (text.empty())
        return S_OK;
    if (text.size() > 0x7FFFFFFF)
        return E_INVALIDARG;
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

} // namespace

Device::Device(HDEVINFO set, SP_DEVINFO_DATA& node, std::wstring instanceId)
    : instanceId_(std::move(instanceId))
{
    devicePath_ = interface_path(set, node, wharfcore::port_interface_class);
    comPortPath_ = interface_path(set, node, wharfcore::comport_interface_class);
    portName_ = read_port_name(set, node);
    comNumber_ = wharfcore::ComNumberFromPortName(portName_);
}

HRESULT Device::deleteDevice()
{
    if (!present_.load(std::memory_order_acquire))
        return not_present;
    return Trellum::com::guarded_call([&] { return wharfcore::RemoveDeviceNode(devicePath_) ? S_OK : S_FALSE; });
}

HRESULT Device::get_port(UINT* value)
{
    if (!value)
        return E_POINTER;
    *value = comNumber_;
    return S_OK;
}

HRESULT Device::get_devicePath(BSTR* value)
{
    if (!value)
        return E_POINTER;
    return to_bstr(devicePath_, value);
}

void Device::invalidate()
{
    present_.store(false, std::memory_order_release);
}

HRESULT Device::get_string(std::uint32_t code, BSTR* value) noexcept
{
    if (!value)
        return E_POINTER;
    *value = nullptr;
    if (!present_.load(std::memory_order_acquire))
        return not_present;
    return Trellum::com::guarded_call([&] { return to_bstr(wharfcore::driver::GetString(devicePath_, code), value); });
}

HRESULT Device::put_string(std::uint32_t code, BSTR value) noexcept
{
    if (!present_.load(std::memory_order_acquire))
        return not_present;
    return Trellum::com::guarded_call([&] {
        wharfcore::driver::SetString(devicePath_, code, std::wstring_view(value, SysStringLen(value)));
        return S_OK;
    });
}

HRESULT Device::get_number(std::uint32_t code, UINT* value) noexcept
{
    if (!value)
        return E_POINTER;
    *value = 0;
    if (!present_.load(std::memory_order_acquire))
        return not_present;
    return Trellum::com::guarded_call([&] {
        *value = wharfcore::driver::GetNumber(devicePath_, code);
        return S_OK;
    });
}

HRESULT Device::put_number(std::uint32_t code, UINT value) noexcept
{
    if (!present_.load(std::memory_order_acquire))
        return not_present;
    return Trellum::com::guarded_call([&] {
        wharfcore::driver::SetNumber(devicePath_, code, value);
        return S_OK;
    });
}


HRESULT Device::get_remoteHost(BSTR* value) { return get_string(driver::get_remote_host, value); }
HRESULT Device::put_remoteHost(BSTR value) { return put_string(driver::set_remote_host, value); }
HRESULT Device::get_remotePort(UINT* port) { return get_number(driver::get_remote_port, port); }
HRESULT Device::put_remotePort(UINT port) { return put_number(driver::set_remote_port, port); }
HRESULT Device::get_connectionTimeout(UINT* timeout) { return get_number(driver::get_connection_timeout, timeout); }
HRESULT Device::put_connectionTimeout(UINT timeout) { return put_number(driver::set_connection_timeout, timeout); }
HRESULT Device::get_connectionAttempts(UINT* retries) { return get_number(driver::get_connection_attempts, retries); }
HRESULT Device::put_connectionAttempts(UINT retries) { return put_number(driver::set_connection_attempts, retries); }
HRESULT Device::get_login(BSTR* value) { return get_string(driver::get_login, value); }
HRESULT Device::put_login(BSTR value) { return put_string(driver::set_login, value); }
HRESULT Device::put_password(BSTR value) { return put_string(driver::set_password, value); }
HRESULT Device::get_domain(BSTR* value) { return get_string(driver::get_domain, value); }
HRESULT Device::put_domain(BSTR value) { return put_string(driver::set_domain, value); }

} // namespace wharfcore
