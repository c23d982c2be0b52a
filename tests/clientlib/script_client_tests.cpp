#include <windows.h>
#include <setupapi.h>

#include <string>
#include <vector>

#include "script_host.h"
#include "support/device_nodes.h"
#include "wharfcore_under_test.h"
#include "wharfdrv/wharfdrv_controls.h"

namespace {

std::string run_script_here(const std::wstring& script, const std::wstring& arguments)
{
    return run_script(windows_path(SCRIPT_DIR) + L"\\" + script, arguments);
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

    const std::string created = run_script_here(L"script_create_port.vbs", L"7");
    EXPECT_NE(created.find("configured COM7 server.example:4001 15000 3 operator WORKGROUP"), std::string::npos)
        << created;
    const auto paths = wharf_test::present_interface_paths(wharf_test::port_interface_class);
    ASSERT_EQ(paths.size(), 1u) << created;
    EXPECT_EQ(stored_password(paths.front()), L"s3cret");

    const std::string listed = run_script_here(L"script_list_ports.js", L"");
    EXPECT_NE(listed.find("ports 1"), std::string::npos) << listed;
    EXPECT_NE(listed.find("COM7 server.example:4001 operator WORKGROUP"), std::string::npos) << listed;
    EXPECT_NE(listed.find("deleted COM7"), std::string::npos) << listed;
    EXPECT_TRUE(wharf_test::present_interface_paths(wharf_test::port_interface_class).empty());

    wharf_test::remove_virtual_port_nodes();
    release_claim(7);
}
