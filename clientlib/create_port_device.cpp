#include "create_port_device.h"

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include <algorithm>
#include <exception>
#include <optional>
#include <string>

#include "comdb.h"
#include "corun/errors.h"
#include "device_interfaces.h"
#include "remove_device_node.h"
#include "system_library.h"
#include "wharfcore/unique_handles.h"

namespace wharfcore {
namespace {

constexpr DWORD show_search_ui = 0x1; // DIIDFLAG_SHOWSEARCHUI

// newdev.dll's DiInstallDevice, which mingw's import library lacks.
using di_install_device_fn = BOOL(WINAPI*)(HWND, HDEVINFO, PSP_DEVINFO_DATA, PSP_DRVINFO_DATA_W, DWORD, PBOOL);

// Removes a registered node again when the scope is left by an exception, and only then gives
// its number back: a node that could not be removed (or whose removal waits for a restart)
// still carries the number as its PortName, so the number stays claimed.
class registered_node_guard {
public:
    registered_node_guard(HDEVINFO set, SP_DEVINFO_DATA& node, std::optional<comdb_claim>& claim) noexcept
        : set_(set), node_(node), claim_(claim), exceptions_(std::uncaught_exceptions()) {}
    registered_node_guard(const registered_node_guard&) = delete;
    registered_node_guard& operator=(const registered_node_guard&) = delete;
    ~registered_node_guard()
    {
        if (keep_ || std::uncaught_exceptions() == exceptions_)
            return;
        bool gone = false;
        try {
            gone = !RemoveDeviceNodeOfSet(set_, node_);
        } catch (...) {
            // The first failure is the one the caller must see.
        }
        if (!gone && claim_)
            claim_->keep();
    }
    void keep() noexcept { keep_ = true; }

private:
    HDEVINFO set_;
    SP_DEVINFO_DATA& node_;
    std::optional<comdb_claim>& claim_;
    int exceptions_;
    bool keep_ = false;
};

void write_port_name(HDEVINFO set, SP_DEVINFO_DATA& node, std::uint32_t n)
{
    unique_setup_hkey key(SetupDiCreateDevRegKeyW(set, &node, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr));
    if (!key)
        corun::throw_last_error();
    const std::wstring name = L"COM" + std::to_wstring(n);
    const LSTATUS written = RegSetValueExW(key.get(), L"PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                                           static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t)));
    // A node without its port name would be a port nobody can find.
    if (written != ERROR_SUCCESS)
        corun::throw_win32_error(written);
}

// DiInstallDevice's result: 0 on success, else the last error it left (at least
// ERROR_GEN_FAILURE, so that a failure never reads as success).
DWORD install_device(HDEVINFO set, SP_DEVINFO_DATA& node, BOOL& needReboot)
{
    // newdev.dll from the system folder and nowhere else: the library runs inside elevated
    // programs and any COM client, whose own folders must not be able to supply it.
    const unique_hmodule newdev = LoadSystemLibrary(L"newdev.dll");
    const auto install = EntryPoint<di_install_device_fn>(newdev.get(), "DiInstallDevice");
    if (install(nullptr, set, &node, nullptr, show_search_ui, &needReboot))
        return ERROR_SUCCESS;
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

} // namespace

std::wstring CreatePortDevice(std::uint32_t n, bool& claimTookOver)
{
    claimTookOver = false;
    const comdb_database database;

    unique_devinfo list(SetupDiCreateDeviceInfoList(&ports_setup_class, nullptr));
    if (!list)
        corun::throw_last_error();

    wchar_t className[32] = {};
    if (!SetupDiClassNameFromGuidW(&ports_setup_class, className, 32, nullptr))
        corun::throw_last_error();

    SP_DEVINFO_DATA node{};
    node.cbSize = sizeof(node);
    if (!SetupDiCreateDeviceInfoW(list.get(), className, &ports_setup_class, nullptr, nullptr, DICD_GENERATE_ID, &node))
        corun::throw_last_error();

    // The hardware ID as a multi-string: the text, its NUL and a second NUL.
    constexpr DWORD idChars = sizeof(port_hardware_id) / sizeof(wchar_t) - 1;
    wchar_t hardwareId[idChars + 2] = {};
    std::copy_n(port_hardware_id, idChars, hardwareId);
    if (!SetupDiSetDeviceRegistryPropertyW(list.get(), &node, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(hardwareId),
                                           (idChars + 2) * sizeof(wchar_t)))
        corun::throw_last_error();

    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, list.get(), &node))
        corun::throw_last_error();
    // Declared before the node's guard, which decides at a failure whether it is given back.
    std::optional<comdb_claim> claim;
    registered_node_guard registered(list.get(), node, claim);
    claim.emplace(database, n);

    write_port_name(list.get(), node, n);

    BOOL needReboot = FALSE;
    const DWORD installError = install_device(list.get(), node, needReboot);
    const bool installed = installError == ERROR_SUCCESS;
    if (!installed && !needReboot)
        corun::throw_win32_error(installError);

    SP_DEVINSTALL_PARAMS_W params{};
    params.cbSize = sizeof(params);
    if (installed)
        SetupDiGetDeviceInstallParamsW(list.get(), &node, &params);
    if (needReboot || (params.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART)) != 0) {
        registered.keep();
        claim->keep();
        claimTookOver = claim->tookOver();
        corun::throw_win32_error(ERROR_SUCCESS_REBOOT_REQUIRED);
    }

    wchar_t instanceId[200] = {};
    const CONFIGRET cr = GetDeviceId(node.DevInst, instanceId, 200, 0);
    if (cr != CR_SUCCESS)
        corun::throw_win32_error(ERROR_GEN_FAILURE);
    registered.keep();
    claim->keep();
    claimTookOver = claim->tookOver();
    return instanceId;
}

void AbandonPortDevice(const std::wstring& instanceId, std::uint32_t n, bool claimTookOver) noexcept
{
    try {
        // A removal that waits for a restart leaves the node, and its PortName, until then.
        if (RemoveDeviceNodeById(instanceId) || claimTookOver)
            return;
        const comdb_database database;
        database.release(n);
    } catch (...) {
        // The node could not be removed, or the database not opened: the number stays claimed.
    }
}

} // namespace wharfcore
