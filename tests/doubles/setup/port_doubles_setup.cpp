// Makes a Wine prefix ready for tests that create virtual port nodes: removes nodes left by
// earlier runs, puts the driver package into the INF folder (replacing an older copy of it),
// the driver file where the package names it and the device installer and COM port database
// doubles into the system folder, and clears the doubles' knobs and the COM port database. With "--cleanup" it only removes leftover nodes and clears knobs and
// database. Exit code 0 on success; otherwise a message on standard error.
#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "../support/device_nodes.h"
#include "../support/doubles_knobs.h"

namespace {

int fail(const char* step, DWORD error)
{
    std::fprintf(stderr, "port_doubles_setup: %s failed with error %lu\n", step, error);
    return 1;
}

std::wstring folder_of_this_program()
{
    std::wstring path(MAX_PATH, L'\0');
    DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(n);
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

std::wstring windows_folder()
{
    wchar_t buffer[MAX_PATH];
    UINT n = GetWindowsDirectoryW(buffer, MAX_PATH);
    return std::wstring(buffer, n);
}

std::string read_file(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Deletes installed copies of the test package that differ from the current one, so that the
// driver search cannot pick an old package.
void remove_stale_packages(const std::wstring& inf_folder, const std::string& current)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((inf_folder + L"*.inf").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        std::wstring path = inf_folder + found.cFileName;
        std::string text = read_file(path);
        if (text != current && text.find("VelmorVIRT\\VelmorTidewell1") != std::string::npos) {
            DeleteFileW(path.c_str());
            std::wstring pnf = path.substr(0, path.size() - 3) + L"pnf";
            DeleteFileW(pnf.c_str());
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// Puts a file in place. A driver or DLL that is loaded cannot be overwritten but can be
// renamed out of the way; a driver keeps running until the prefix's server restarts.
// (Stopping its service instead leaves Wine 8 unable to start the driver again for new nodes.)
bool place_file(const std::wstring& from, const std::wstring& to)
{
    if (read_file(from) == read_file(to))
        return true;
    if (CopyFileW(from.c_str(), to.c_str(), FALSE))
        return true;
    std::wstring aside = to + L"." + std::to_wstring(GetTickCount64()) + L".old";
    if (!MoveFileExW(to.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING))
        return false;
    MoveFileExW(aside.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    std::fprintf(stdout, "port_doubles_setup: a changed file replaced a loaded one (%ls); a driver takes "
                         "effect when the prefix's wineserver restarts\n", to.c_str());
    return CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

void clear_test_state(bool database)
{
    for (const wchar_t* knob : {wharf_test::knob_comdb_open_fails, wharf_test::knob_install_error,
                                wharf_test::knob_install_nothing, wharf_test::knob_install_need_reboot, wharf_test::record_install_calls,
                                wharf_test::record_install_flags,
                                wharf_test::record_install_had_driver,
                                wharf_test::record_install_from_system_folder,
                                wharf_test::record_claim_from_system_folder})
        wharf_test::clear_knob(knob);
    for (const wchar_t* knob : {wharf_test::knob_driver_interface_pause, wharf_test::knob_driver_comport_interface_first})
        wharf_test::clear_knob(knob, HKEY_LOCAL_MACHINE);
    if (database)
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter",
                           L"ComDB");
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    bool cleanup_only = argc > 1 && std::wstring_view(argv[1]) == L"--cleanup";
    int removed = wharf_test::remove_virtual_port_nodes();
    std::fprintf(stdout, "port_doubles_setup: removed %d leftover node(s)\n", removed);
    if (cleanup_only) {
        clear_test_state(true);
        return 0;
    }

    std::wstring package = folder_of_this_program() + L"wharfdrv\\";
    std::wstring inf = package + L"wharfdrv.inf";
    std::wstring sys = package + L"wharfdrv.sys";
    std::string current = read_file(inf);
    if (current.empty())
        return fail("reading the driver package", ERROR_FILE_NOT_FOUND);

    std::wstring inf_folder = windows_folder() + L"\\inf\\";
    remove_stale_packages(inf_folder, current);

    wchar_t copied[MAX_PATH] = {};
    if (!SetupCopyOEMInfW(inf.c_str(), nullptr, SPOST_PATH, 0, copied, MAX_PATH, nullptr, nullptr))
        return fail("SetupCopyOEMInfW", GetLastError());

    // The package copies no files: its service runs the driver from the drivers folder.
    wchar_t system_folder[MAX_PATH];
    GetSystemDirectoryW(system_folder, MAX_PATH);
    if (!place_file(sys, std::wstring(system_folder) + L"\\drivers\\wharfdrv.sys"))
        return fail("copying the driver into the drivers folder", GetLastError());
    // The library loads newdev.dll and msports.dll from the system folder only; the doubles go
    // there, in place of Wine's, and win where a test's override says "msports,newdev=n,b".
    if (!place_file(folder_of_this_program() + L"newdev.dll", std::wstring(system_folder) + L"\\newdev.dll"))
        return fail("copying the device installer double into the system folder", GetLastError());
    if (!place_file(folder_of_this_program() + L"msports.dll", std::wstring(system_folder) + L"\\msports.dll"))
        return fail("copying the COM port database double into the system folder", GetLastError());

    clear_test_state(true);
    std::fprintf(stdout, "port_doubles_setup: driver package installed as %ls\n", copied);
    return 0;
}
