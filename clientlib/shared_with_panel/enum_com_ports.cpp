#include "wharfcore/enum_com_ports.h"

#include <windows.h>
#include <setupapi.h>

#include <algorithm>

#include "corun/errors.h"
#include "wharfcore/com_number.h"
#include "wharfcore/unique_handles.h"

namespace wharfcore {
namespace {

// GUID_DEVINTERFACE_COMPORT
constexpr GUID comport_interface = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

std::uint32_t read_com_number(HDEVINFO set, SP_DEVINFO_DATA& node)
{
    unique_setup_hkey key(SetupDiOpenDevRegKey(set, &node, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ));
    if (!key)
        return 0;

    wchar_t text[260] = {};
    DWORD type = 0;
    DWORD size = sizeof(text);
    if (RegQueryValueExW(key.get(), L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS)
        return 0;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return 0;
    if (size % 2 != 0 || size == 0)
        return 0;
    const DWORD chars = size / 2;
    if (text[chars - 1] != L'\0' || chars <= 3)
        return 0;
    return ComNumberFromPortName(std::wstring_view(text, chars - 1));
}

std::wstring read_friendly_name(HDEVINFO set, SP_DEVINFO_DATA& node)
{
    DWORD size = 0;
    SetupDiGetDeviceRegistryPropertyW(set, &node, SPDRP_FRIENDLYNAME, nullptr, nullptr, 0, &size);
    if (size < sizeof(wchar_t))
        return {};
    std::wstring name(size / 2, L'\0');
    if (!SetupDiGetDeviceRegistryPropertyW(set, &node, SPDRP_FRIENDLYNAME, nullptr,
                                           reinterpret_cast<BYTE*>(name.data()), size, nullptr))
        return {};
    name.resize(size / 2 - 1);
    // A value stored without its terminator must not end in one.
    if (const auto nul = name.find(L'\0'); nul != std::wstring::npos)
        name.resize(nul);
    return name;
}

} // namespace

std::vector<ComPortRecord> EnumComPorts()
{
    unique_devinfo list(SetupDiGetClassDevsExW(&comport_interface, nullptr, nullptr,
                                               DIGCF_PRESENT | DIGCF_DEVICEINTERFACE, nullptr, nullptr, nullptr));
    if (!list)
        corun::throw_last_error();

    std::vector<ComPortRecord> ports;
    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA node{};
        node.cbSize = sizeof(node);
        if (!SetupDiEnumDeviceInfo(list.get(), index, &node))
            break;
        const std::uint32_t number = read_com_number(list.get(), node);
        if (number == 0)
            continue;
        ports.push_back({read_friendly_name(list.get(), node), number});
    }
    std::sort(ports.begin(), ports.end(),
              [](const ComPortRecord& a, const ComPortRecord& b) { return a.comNumber < b.comNumber; });
    return ports;
}

} // namespace wharfcore
