#include <windows.h>
#include <setupapi.h>

#include <string>

#include "comdb.h"
#include "driver_exchange.h"
#include "script_host.h"
#include "support/device_nodes.h"
#include "wharfcore_under_test.h"
#include "wharfdrv/wharfdrv_controls.h"

namespace {

std::string run_script_here(const std::wstring& script, const std::wstring& arguments)
{
    return run_script(windows_path(SCRIPT_DIR) + L"\\" + script, arguments);
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
    EXPECT_EQ(wharfcore::driver::GetString(paths.front(), IOCTL_WHARFDRV_TEST_GET_PASSWORD), L"s3cret");

    const std::string listed = run_script_here(L"script_list_ports.js", L"");
    EXPECT_NE(listed.find("ports 1"), std::string::npos) << listed;
    EXPECT_NE(listed.find("COM7 server.example:4001 operator WORKGROUP"), std::string::npos) << listed;
    EXPECT_NE(listed.find("deleted COM7"), std::string::npos) << listed;
    EXPECT_TRUE(wharf_test::present_interface_paths(wharf_test::port_interface_class).empty());

    wharf_test::remove_virtual_port_nodes();
    wharfcore::unique_comdb database;
    ComDBOpen(database.put());
    ComDBReleasePort(database.get(), 7);
}
