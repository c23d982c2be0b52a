// Test double of DIFxAPI.dll: each entry point records its arguments and returns what the
// test chose. Knobs and records live under HKCU\Software\WharfTest\Doubles\DIFxAPI:
//   PreinstallResult, UninstallResult (DWORD, default 0), NeedReboot (DWORD, default 0);
//   written by the calls: Calls (REG_SZ, names appended with ';'), LastInf (REG_SZ),
//   LastFlags (DWORD), LastApplicationId, LastDisplayName, LastProductName, LastMfgName;
//   written when the double is loaded into a process: Loads (DWORD, a count).
// Built twice: the second build leaves DriverPackageInstallW out, for the missing entry case.
#include <string>

#include <windows.h>

namespace {

struct INSTALLERINFO_W {
    PWSTR pApplicationId;
    PWSTR pDisplayName;
    PWSTR pProductName;
    PWSTR pMfgName;
};

const wchar_t knob_key[] = L"Software\\WharfTest\\Doubles\\DIFxAPI";

HKEY open_key()
{
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER, knob_key, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key, nullptr);
    return key;
}

DWORD read_dword(const wchar_t* name)
{
    HKEY key = open_key();
    DWORD value = 0, size = sizeof(value), type = 0;
    if (key) {
        if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS || type != REG_DWORD)
            value = 0;
        RegCloseKey(key);
    }
    return value;
}

void write_string(HKEY key, const wchar_t* name, const wchar_t* text)
{
    std::wstring value = text ? text : L"(null)";
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void record(const wchar_t* call, PCWSTR inf, DWORD flags, const INSTALLERINFO_W* info)
{
    HKEY key = open_key();
    if (!key)
        return;
    wchar_t calls[1024] = {};
    DWORD size = sizeof(calls) - sizeof(wchar_t), type = 0;
    if (RegQueryValueExW(key, L"Calls", nullptr, &type, reinterpret_cast<BYTE*>(calls), &size) != ERROR_SUCCESS || type != REG_SZ)
        calls[0] = 0;
    std::wstring all = calls;
    all += call;
    all += L';';
    write_string(key, L"Calls", all.c_str());
    write_string(key, L"LastInf", inf);
    RegSetValueExW(key, L"LastFlags", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&flags), sizeof(flags));
    if (info) {
        write_string(key, L"LastApplicationId", info->pApplicationId);
        write_string(key, L"LastDisplayName", info->pDisplayName);
        write_string(key, L"LastProductName", info->pProductName);
        write_string(key, L"LastMfgName", info->pMfgName);
    }
    RegCloseKey(key);
}

} // namespace

extern "C" {

// Counts the loads, so that a test sees a load also when the library was unloaded again.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void*)
{
    if (reason == DLL_PROCESS_ATTACH) {
        const DWORD loads = read_dword(L"Loads") + 1;
        if (HKEY key = open_key()) {
            RegSetValueExW(key, L"Loads", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&loads), sizeof(loads));
            RegCloseKey(key);
        }
    }
    return TRUE;
}

__declspec(dllexport) DWORD WINAPI DriverPackagePreinstallW(PCWSTR inf, DWORD flags)
{
    record(L"DriverPackagePreinstallW", inf, flags, nullptr);
    return read_dword(L"PreinstallResult");
}

#ifndef DIFX_DOUBLE_WITHOUT_INSTALL
__declspec(dllexport) DWORD WINAPI DriverPackageInstallW(PCWSTR inf, DWORD flags, const INSTALLERINFO_W* info, BOOL* need_reboot)
{
    record(L"DriverPackageInstallW", inf, flags, info);
    if (need_reboot)
        *need_reboot = FALSE;
    return 0;
}
#endif

__declspec(dllexport) DWORD WINAPI DriverPackageUninstallW(PCWSTR inf, DWORD flags, const INSTALLERINFO_W* info, BOOL* need_reboot)
{
    record(L"DriverPackageUninstallW", inf, flags, info);
    if (need_reboot)
        *need_reboot = read_dword(L"NeedReboot") != 0;
    return read_dword(L"UninstallResult");
}

} // extern "C"
