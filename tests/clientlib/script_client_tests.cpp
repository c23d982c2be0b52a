#include <windows.h>
#include <setupapi.h>

#include <string>
#include <vector>

#include "support/device_nodes.h"
#include "wharfcore_under_test.h"
#include "wharfdrv/wharfdrv_controls.h"

namespace {

// Runs cscript on a script of this folder and returns what it printed; a script that has not
// ended after two minutes is ended and reported.
std::string run_script(const std::wstring& script, const std::wstring& arguments)
{
    wchar_t temp[MAX_PATH], file[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    GetTempFileNameW(temp, L"wsc", 0, file);
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    const HANDLE output = CreateFileW(file, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_TEMPORARY, nullptr);
    std::wstring command = L"cscript.exe //nologo \"" + windows_path(SCRIPT_DIR) + L"\\" + script + L"\" " + arguments;
    STARTUPINFOW startup{sizeof(startup)};
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
    PROCESS_INFORMATION process{};
    std::string printed;
    if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        if (WaitForSingleObject(process.hProcess, 120000) != WAIT_OBJECT_0) {
            TerminateProcess(process.hProcess, 1);
            WaitForSingleObject(process.hProcess, INFINITE);
            printed = "<the script did not end>\n";
        }
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    CloseHandle(output);
    const HANDLE input = CreateFileW(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                     nullptr);
    char buffer[512];
    DWORD got = 0;
    while (ReadFile(input, buffer, sizeof buffer, &got, nullptr) && got)
        printed.append(buffer, got);
    CloseHandle(input);
    DeleteFileW(file);
    return printed;
}

std::wstring stored_password(const std::wstring& path)
{
    const HANDLE device =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    std::vector<BYTE> reply(65536);
    DWORD written = 0;
    std::wstring password = L"<unreadable>";
    if (device != INVALID_HANDLE_VALUE &&
        DeviceIoControl(device, IOCTL_WHARFDRV_TEST_GET_PASSWORD, nullptr, 0, reply.data(),
                        static_cast<DWORD>(reply.size()), &written, nullptr) &&
        written >= 4)
        password.assign(reinterpret_cast<const wchar_t*>(reply.data() + 4), *reinterpret_cast<const UINT*>(reply.data()));
    if (device != INVALID_HANDLE_VALUE)
        CloseHandle(device);
    return password;
}

void release_claim(DWORD number)
{
    using open_fn = LONG WINAPI(HANDLE*);
    using close_fn = LONG WINAPI(HANDLE);
    using release_fn = LONG WINAPI(HANDLE, DWORD);
    const HMODULE msports = LoadLibraryW(L"msports.dll");
    auto open = reinterpret_cast<open_fn*>(reinterpret_cast<void*>(GetProcAddress(msports, "ComDBOpen")));
    auto release = reinterpret_cast<release_fn*>(reinterpret_cast<void*>(GetProcAddress(msports, "ComDBReleasePort")));
    auto close = reinterpret_cast<close_fn*>(reinterpret_cast<void*>(GetProcAddress(msports, "ComDBClose")));
    HANDLE database = INVALID_HANDLE_VALUE;
    if (open && release && close && open(&database) == ERROR_SUCCESS) {
        release(database, number);
        close(database);
    }
}

} // namespace

TEST(ScriptClients, VBScriptCreatesAndConfiguresAPortThatJScriptListsAndDeletes)
{
    wharf_test::remove_virtual_port_nodes();
    registered_wharfcore dll(registered_wharfcore::loaded::by_com_only);
    ASSERT_EQ(dll.result(), S_OK);

    const std::string created = run_script(L"script_create_port.vbs", L"7");
    EXPECT_NE(created.find("configured COM7 server.example:4001 15000 3 operator WORKGROUP"), std::string::npos)
        << created;
    const auto paths = wharf_test::present_interface_paths(wharf_test::port_interface_class);
    ASSERT_EQ(paths.size(), 1u) << created;
    EXPECT_EQ(stored_password(paths.front()), L"s3cret");

    const std::string listed = run_script(L"script_list_ports.js", L"");
    EXPECT_NE(listed.find("ports 1"), std::string::npos) << listed;
    EXPECT_NE(listed.find("COM7 server.example:4001 operator WORKGROUP"), std::string::npos) << listed;
    EXPECT_NE(listed.find("deleted COM7"), std::string::npos) << listed;
    EXPECT_TRUE(wharf_test::present_interface_paths(wharf_test::port_interface_class).empty());

    wharf_test::remove_virtual_port_nodes();
    release_claim(7);
}
