#pragma once
// Test-only switches the doubles read from HKCU\Software\WharfTest\Doubles, and what they
// record there. Tests that set a knob hold the "port_devices" lock and clear it when done
// (knob_guard does both halves of that).
#include <windows.h>

namespace wharf_test {

inline constexpr wchar_t knob_key[] = L"Software\\WharfTest\\Doubles";

// DWORD, nonzero: ComDBOpen fails with ERROR_ACCESS_DENIED and an invalid handle.
inline constexpr wchar_t knob_comdb_open_fails[] = L"ComDBOpenFails";
// DWORD, nonzero: DiInstallDevice installs nothing and fails with this Win32 error.
inline constexpr wchar_t knob_install_error[] = L"DiInstallDeviceError";
// DWORD, nonzero: DiInstallDevice reports success without installing anything, so the node
// never gets its driver and never shows its interfaces.
inline constexpr wchar_t knob_install_nothing[] = L"DiInstallDeviceInstallsNothing";
// DWORD, nonzero: DiInstallDevice installs as usual, then reports NeedReboot = TRUE.
inline constexpr wchar_t knob_install_need_reboot[] = L"DiInstallDeviceNeedReboot";
// DWORDs written by DiInstallDevice: how often it ran and the Flags of its last call.
inline constexpr wchar_t record_install_calls[] = L"DiInstallDeviceCalls";
inline constexpr wchar_t record_install_flags[] = L"DiInstallDeviceLastFlags";
// DWORD written by DiInstallDevice: 1 when its last call got a driver-information pointer.
inline constexpr wchar_t record_install_had_driver[] = L"DiInstallDeviceLastHadDriver";
// DWORD written by DiInstallDevice: 1 when the double that ran was the copy in the system
// folder, 0 when it was another (one beside the program, say).
inline constexpr wchar_t record_install_from_system_folder[] = L"DiInstallDeviceFromSystemFolder";
// DWORD written by ComDBClaimPort: 1 when the double that ran was the copy in the system
// folder, 0 when it was another.
inline constexpr wchar_t record_claim_from_system_folder[] = L"ComDBClaimPortFromSystemFolder";

// Knobs of the test driver, under HKEY_LOCAL_MACHINE (kernel mode has no user hive at hand),
// read at each use. DWORD: milliseconds the driver waits between enabling (or disabling) its
// two interfaces.
inline constexpr wchar_t knob_driver_interface_pause[] = L"DriverInterfacePause";
// DWORD, nonzero: the driver enables and disables the COM-port interface before its own.
inline constexpr wchar_t knob_driver_comport_interface_first[] = L"DriverComPortInterfaceFirst";

// Reads a DWORD knob; 0 when it is absent or of another type.
inline DWORD read_knob(const wchar_t* name, HKEY root = HKEY_CURRENT_USER) noexcept
{
    DWORD value = 0, size = sizeof(value), type = 0;
    HKEY key;
    if (RegOpenKeyExW(root, knob_key, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size)
            != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(value))
        value = 0;
    RegCloseKey(key);
    return value;
}

inline LSTATUS write_knob(const wchar_t* name, DWORD value, HKEY root = HKEY_CURRENT_USER) noexcept
{
    HKEY key;
    LSTATUS rc = RegCreateKeyExW(root, knob_key, 0, nullptr, 0, KEY_WRITE, nullptr,
                                 &key, nullptr);
    if (rc != ERROR_SUCCESS)
        return rc;
    rc = RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                        sizeof(value));
    RegCloseKey(key);
    return rc;
}

inline void clear_knob(const wchar_t* name, HKEY root = HKEY_CURRENT_USER) noexcept
{
    HKEY key;
    if (RegOpenKeyExW(root, knob_key, 0, KEY_WRITE, &key) == ERROR_SUCCESS) {
        RegDeleteValueW(key, name);
        RegCloseKey(key);
    }
}

// Sets a knob for one scope.
class knob_guard {
public:
    knob_guard(const wchar_t* name, DWORD value, HKEY root = HKEY_CURRENT_USER) noexcept : name_(name), root_(root)
    {
        write_knob(name, value, root);
    }
    ~knob_guard() { clear_knob(name_, root_); }
    knob_guard(const knob_guard&) = delete;
    knob_guard& operator=(const knob_guard&) = delete;

private:
    const wchar_t* name_;
    HKEY root_;
};

} // namespace wharf_test
