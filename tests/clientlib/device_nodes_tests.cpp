#include <gtest/gtest.h>

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "comdb.h"
#include "corun/errors.h"
#include "create_port_device.h"
#include "../support/handle_probe.h"
#include "device_interfaces.h"
#include "../support/import_patch.h"
#include "driver_buffers.h"
#include "driver_exchange.h"
#include "remove_device_node.h"
#include "port_cleanup.h"
#include "support/device_nodes.h"
#include "support/doubles_knobs.h"
#include "wharfdrv/wharfdrv_controls.h"
#include "wharfcore/enum_com_ports.h"

namespace {

long error_of(auto&& body)
{
    try {
        body();
    } catch (const corun::details::hresult_error& e) {
        return e.code();
    }
    return S_OK;
}

bool com_port_present(std::uint32_t n)
{
    const auto ports = wharfcore::EnumComPorts();
    return std::any_of(ports.begin(), ports.end(), [&](const auto& p) { return p.comNumber == n; });
}

bool claimed(DWORD n)
{
    // A second, non-forced claim is refused while the number is held.
    wharfcore::unique_comdb db;
    ComDBOpen(db.put());
    if (!db)
        return false;
    BOOL forced = FALSE;
    const LONG rc = ComDBClaimPort(db.get(), n, FALSE, &forced);
    if (rc == ERROR_SUCCESS) {
        ComDBReleasePort(db.get(), n);
        return false;
    }
    return true;
}

class DeviceNodes : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(wharf_test::remove_all_virtual_ports(), S_OK);
        // Every case starts from an empty database (the double's bitmap), also when repeated
        // without the fixture's set-up in between: the cases leave the claims of their nodes.
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter", L"ComDB");
    }
    void TearDown() override { EXPECT_EQ(wharf_test::remove_all_virtual_ports(), S_OK); }

    // The driver's interface path of the only virtual port present. The driver may start a
    // moment after its installation returned, so this looks for up to five seconds.
    static std::wstring only_port_path()
    {
        auto paths = wharf_test::present_interface_paths(wharfcore::port_interface_class);
        for (int i = 0; i < 100 && paths.empty(); ++i) {
            Sleep(50);
            paths = wharf_test::present_interface_paths(wharfcore::port_interface_class);
        }
        EXPECT_EQ(paths.size(), 1u);
        return paths.empty() ? std::wstring() : paths.front();
    }
};

} // namespace

TEST_F(DeviceNodes, CreatedNodeIsAPresentComPortWithItsNumberClaimed)
{
    bool tookOver = true;
    const std::wstring id = wharfcore::CreatePortDevice(7, tookOver);
    EXPECT_FALSE(tookOver);
    EXPECT_EQ(id.rfind(L"ROOT\\PORTS\\", 0), 0u) << std::string(id.begin(), id.end());
    EXPECT_FALSE(only_port_path().empty());
    EXPECT_TRUE(com_port_present(7));
    EXPECT_TRUE(claimed(7));
}

TEST_F(DeviceNodes, EverySettingTravelsToTheDriverAndBack)
{
    wharfcore::CreatePortDevice(3);
    const std::wstring path = only_port_path();
    namespace driver = wharfcore::driver;

    driver::SetString(path, driver::set_remote_host, L"server.example");
    EXPECT_EQ(driver::GetString(path, driver::get_remote_host), L"server.example");
    driver::SetString(path, driver::set_remote_host, L"");
    EXPECT_EQ(driver::GetString(path, driver::get_remote_host), L"");
    driver::SetNumber(path, driver::set_remote_port, 4001);
    EXPECT_EQ(driver::GetNumber(path, driver::get_remote_port), 4001u);
    driver::SetNumber(path, driver::set_connection_timeout, 30000);
    EXPECT_EQ(driver::GetNumber(path, driver::get_connection_timeout), 30000u);
    driver::SetNumber(path, driver::set_connection_attempts, 0xFFFFFFFF);
    EXPECT_EQ(driver::GetNumber(path, driver::get_connection_attempts), 0xFFFFFFFFu);
    driver::SetString(path, driver::set_login, L"operator");
    EXPECT_EQ(driver::GetString(path, driver::get_login), L"operator");
    driver::SetString(path, driver::set_domain, L"D\u00D6MAIN");
    EXPECT_EQ(driver::GetString(path, driver::get_domain), L"D\u00D6MAIN");
    driver::SetString(path, driver::set_password, L"s3cret");
    EXPECT_EQ(driver::GetString(path, IOCTL_WHARFDRV_TEST_GET_PASSWORD), L"s3cret");

    // Every exchange closes the driver handle it opened, also when the driver refuses the
    // control: a handle kept would hold the port's device open and could turn its removal
    // into a restart. A thousand exchanges leave the lowest free handle slot where it was.
    constexpr std::uint32_t unknown_get = 0x82F26038;
    const std::uintptr_t before = wharf_test::handle_table_mark();
    for (int i = 0; i < 100; ++i) {
        driver::SetString(path, driver::set_remote_host, L"server.example");
        driver::GetString(path, driver::get_remote_host);
        driver::SetNumber(path, driver::set_remote_port, 4001);
        driver::GetNumber(path, driver::get_remote_port);
        driver::SetString(path, driver::set_login, L"operator");
        driver::GetString(path, driver::get_login);
        driver::SetNumber(path, driver::set_connection_attempts, 3);
        driver::GetNumber(path, driver::get_connection_attempts);
        driver::SetString(path, driver::set_password, L"s3cret");
        EXPECT_LT(error_of([&] { driver::GetNumber(path, unknown_get); }), 0);
    }
    EXPECT_LE(wharf_test::handle_table_mark(), before) << "driver handles were left open";
}

TEST_F(DeviceNodes, RemovalTakesTheNodeAwayWithoutRestart)
{
    wharfcore::CreatePortDevice(4);
    const std::wstring path = only_port_path();
    bool restart = true;
    EXPECT_EQ(error_of([&] { restart = wharfcore::RemoveDeviceNode(path); }), S_OK);
    EXPECT_FALSE(restart);
    EXPECT_FALSE(com_port_present(4));
    EXPECT_TRUE(wharf_test::present_interface_paths(wharfcore::port_interface_class).empty());
    EXPECT_EQ(wharf_test::count_virtual_port_nodes(), 0);
}

TEST_F(DeviceNodes, RemovalOfAnUnknownPathFails)
{
    EXPECT_LT(error_of([] { wharfcore::RemoveDeviceNode(L"\\\\?\\ROOT#PORTS#9999#{a4c98eba-8f1b-40de-a882-212d33e92299}"); }), 0);
}

TEST_F(DeviceNodes, DriverOfARemovedPortIsUnreachable)
{
    wharfcore::CreatePortDevice(12);
    const std::wstring path = only_port_path();
    wharfcore::RemoveDeviceNode(path);
    EXPECT_LT(error_of([&] { wharfcore::driver::GetNumber(path, wharfcore::driver::get_remote_port); }), 0);
}

TEST_F(DeviceNodes, UnopenableDatabaseFailsBeforeAnyNodeIsMade)
{
    wharf_test::knob_guard knob(wharf_test::knob_comdb_open_fails, 1);
    EXPECT_EQ(error_of([] { wharfcore::CreatePortDevice(6); }), E_FAIL);
    EXPECT_EQ(wharf_test::count_virtual_port_nodes(), 0);
}

namespace {

using call_class_installer_fn = BOOL WINAPI(DI_FUNCTION, HDEVINFO, PSP_DEVINFO_DATA);
import_patch* installer_patch = nullptr;

BOOL WINAPI refusing_removal(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA node)
{
    if (function == DIF_REMOVE) {
        SetLastError(ERROR_WRITE_PROTECT);
        return FALSE;
    }
    return installer_patch->original<call_class_installer_fn>()(function, set, node);
}

// Makes every node removal of this program's code fail while it lives.
class refused_removals {
public:
    refused_removals() : patch_(GetModuleHandleW(nullptr), "setupapi.dll", "SetupDiCallClassInstaller",
                                reinterpret_cast<void*>(&refusing_removal))
    {
        installer_patch = &patch_;
    }
    bool active() const { return patch_.active(); }

private:
    import_patch patch_;
};

} // namespace

TEST_F(DeviceNodes, FailedInstallRemovesTheNodeAndReleasesOnlyItsOwnClaimOnceTheNodeIsGone)
{
    wharf_test::knob_guard knob(wharf_test::knob_install_error, ERROR_ACCESS_DENIED);
    EXPECT_EQ(error_of([] { wharfcore::CreatePortDevice(8); }), static_cast<long>(0x80070005UL));
    EXPECT_EQ(wharf_test::count_virtual_port_nodes(), 0);
    EXPECT_FALSE(claimed(8));

    // COM15 is reserved by a device that is not present: the forced claim takes the
    // reservation over, and the failure leaves it as it found it.
    wharfcore::unique_comdb db;
    ComDBOpen(db.put());
    ASSERT_EQ(ComDBClaimPort(db.get(), 15, FALSE, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(error_of([] { wharfcore::CreatePortDevice(15); }), static_cast<long>(0x80070005UL));
    EXPECT_EQ(wharf_test::count_virtual_port_nodes(), 0);
    EXPECT_TRUE(claimed(15));
    ComDBReleasePort(db.get(), 15);

    // A node that cannot be removed still carries its PortName: its number stays claimed, and
    // the caller learns of the install's failure, not the removal's.
    {
        refused_removals refused;
        ASSERT_TRUE(refused.active());
        EXPECT_EQ(error_of([] { wharfcore::CreatePortDevice(16); }), static_cast<long>(0x80070005UL));
    }
    EXPECT_EQ(wharf_test::count_virtual_port_nodes(), 1);
    EXPECT_TRUE(claimed(16));
    ComDBReleasePort(db.get(), 16);
}

TEST_F(DeviceNodes, AbandonedNodeGivesItsNumberBackOnlyOnceItIsGone)
{
    wharf_test::knob_guard knob(wharf_test::knob_install_nothing, 1);
    const std::wstring id = wharfcore::CreatePortDevice(17);
    ASSERT_EQ(wharf_test::count_virtual_port_nodes(), 1);
    {
        refused_removals refused;
        ASSERT_TRUE(refused.active());
        wharfcore::AbandonPortDevice(id, 17, false);
    }
    EXPECT_EQ(wharf_test::count_virtual_port_nodes(), 1);
    EXPECT_TRUE(claimed(17));

    wharfcore::AbandonPortDevice(id, 17, false);
    EXPECT_EQ(wharf_test::count_virtual_port_nodes(), 0);
    EXPECT_FALSE(claimed(17));
}

namespace {

using reg_set_value_fn = LSTATUS WINAPI(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD);
import_patch* set_value_patch = nullptr;

LSTATUS WINAPI refusing_port_name(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size)
{
    if (name && std::wstring_view(name) == L"PortName")
        return ERROR_ACCESS_DENIED;
    return set_value_patch->original<reg_set_value_fn>()(key, name, reserved, type, data, size);
}

} // namespace

TEST_F(DeviceNodes, PortNameThatCannotBeWrittenFailsTheCreation)
{
    import_patch patch(GetModuleHandleW(nullptr), "advapi32.dll", "RegSetValueExW",
                       reinterpret_cast<void*>(&refusing_port_name));
    ASSERT_TRUE(patch.active());
    set_value_patch = &patch;
    EXPECT_EQ(error_of([] { wharfcore::CreatePortDevice(5); }), static_cast<long>(0x80070005UL));
    EXPECT_EQ(wharf_test::count_virtual_port_nodes(), 0);
    EXPECT_FALSE(claimed(5));
}

TEST_F(DeviceNodes, NeededRestartKeepsNodeAndClaim)
{
    wharf_test::knob_guard knob(wharf_test::knob_install_need_reboot, 1);
    EXPECT_EQ(error_of([] { wharfcore::CreatePortDevice(9); }), static_cast<long>(0x80070BC2UL));
    EXPECT_EQ(wharf_test::count_virtual_port_nodes(), 1);
    EXPECT_TRUE(claimed(9));
    wharfcore::unique_comdb db;
    ComDBOpen(db.put());
    ComDBReleasePort(db.get(), 9);
}

TEST_F(DeviceNodes, SystemLibrariesComeFromTheSystemFolderAndTheInstallerIsAskedToShowItsSearchUi)
{
    // Copies of the installer and database doubles lie beside this program too; only the
    // system folder's may be used.
    wharfcore::CreatePortDevice(10);
    EXPECT_EQ(wharf_test::read_knob(wharf_test::record_install_from_system_folder), 1u);
    EXPECT_EQ(wharf_test::read_knob(wharf_test::record_claim_from_system_folder), 1u);
    EXPECT_EQ(wharf_test::read_knob(wharf_test::record_install_flags), 1u);
    EXPECT_EQ(wharf_test::read_knob(wharf_test::record_install_had_driver), 0u);
}
