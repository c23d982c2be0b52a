// Stand-in for newdev.dll's DiInstallDevice. Windows' version searches for and installs the
// best driver of a node; this one does the part a test needs without any user interface:
// it builds the node's compatible-driver list from the INF folder, lets SetupAPI select the
// best driver and installs it, which starts the driver at once. The test knobs make it fail
// with a chosen error or report that a restart is needed; each call is recorded.
#include <windows.h>
#include <setupapi.h>

#include "../support/doubles_knobs.h"
#include "../support/system_folder_copy.h"

namespace {

void record_call(DWORD flags, bool had_driver) noexcept
{
    wharf_test::write_knob(wharf_test::record_install_calls,
                           wharf_test::read_knob(wharf_test::record_install_calls) + 1);
    wharf_test::write_knob(wharf_test::record_install_flags, flags);
    wharf_test::write_knob(wharf_test::record_install_had_driver, had_driver ? 1 : 0);
    wharf_test::write_knob(wharf_test::record_install_from_system_folder, wharf_test::in_system_folder(reinterpret_cast<const void*>(&record_call)) ? 1 : 0);
}

// Fails with the call's last error, or a general failure when the call left none.
BOOL fail_with_last_error() noexcept
{
    if (GetLastError() == ERROR_SUCCESS)
        SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
}

} // namespace

extern "C" BOOL WINAPI DiInstallDevice(HWND parent, HDEVINFO set, SP_DEVINFO_DATA* node,
                                       SP_DRVINFO_DATA_W* driver, DWORD flags, BOOL* need_reboot)
{
    record_call(flags, driver != nullptr);
    if (need_reboot)
        *need_reboot = FALSE;
    if (set == INVALID_HANDLE_VALUE || !set || !node) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (DWORD error = wharf_test::read_knob(wharf_test::knob_install_error)) {
        SetLastError(error);
        return FALSE;
    }
    if (wharf_test::read_knob(wharf_test::knob_install_nothing)) {
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }

    SetLastError(ERROR_SUCCESS);
    if (driver) {
        if (!SetupDiSetSelectedDriverW(set, node, driver))
            return fail_with_last_error();
    } else {
        if (!SetupDiBuildDriverInfoList(set, node, SPDIT_COMPATDRIVER))
            return fail_with_last_error();
        if (!SetupDiCallClassInstaller(DIF_SELECTBESTCOMPATDRV, set, node))
            return fail_with_last_error();
    }
    if (parent) {
        SP_DEVINSTALL_PARAMS_W params{};
        params.cbSize = sizeof(params);
        if (SetupDiGetDeviceInstallParamsW(set, node, &params)) {
            params.hwndParent = parent;
            SetupDiSetDeviceInstallParamsW(set, node, &params);
        }
    }
    if (!SetupDiCallClassInstaller(DIF_INSTALLDEVICE, set, node))
        return fail_with_last_error();

    bool reboot = wharf_test::read_knob(wharf_test::knob_install_need_reboot) != 0;
    SP_DEVINSTALL_PARAMS_W params{};
    params.cbSize = sizeof(params);
    if (SetupDiGetDeviceInstallParamsW(set, node, &params) &&
        (params.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART)))
        reboot = true;
    if (need_reboot)
        *need_reboot = reboot;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
