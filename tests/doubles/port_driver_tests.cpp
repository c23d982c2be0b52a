// The driver double and the newdev double together: a node made like the library's gets the
// driver, shows both interfaces, answers the settings controls in their exact buffer
// formats, refuses malformed buffers and goes away with DIF_REMOVE.
#include "test_node.h"

#include <cstdint>
#include <cstring>
#include <memory>

#include "support/doubles_knobs.h"
#include "wharfdrv/wharfdrv_controls.h"

using namespace wharf_test;

namespace {

struct reply {
    BOOL ok;
    DWORD error;
    std::vector<uint8_t> bytes;
};

reply control(HANDLE device, DWORD code, const std::vector<uint8_t>& in, DWORD out_size)
{
    std::vector<uint8_t> out(out_size, 0);
    DWORD returned = 0;
    SetLastError(0);
    BOOL ok = DeviceIoControl(device, code, in.empty() ? nullptr : const_cast<uint8_t*>(in.data()),
                              static_cast<DWORD>(in.size()), out.empty() ? nullptr : out.data(),
                              out_size, &returned, nullptr);
    reply r{ok, ok ? 0 : GetLastError(), {}};
    if (ok)
        r.bytes.assign(out.begin(), out.begin() + returned);
    return r;
}

std::vector<uint8_t> string_buffer(const std::wstring& text, uint32_t count)
{
    std::vector<uint8_t> b(4 + text.size() * 2);
    std::memcpy(b.data(), &count, 4);
    std::memcpy(b.data() + 4, text.data(), text.size() * 2);
    return b;
}

std::vector<uint8_t> string_buffer(const std::wstring& text)
{
    return string_buffer(text, static_cast<uint32_t>(text.size()));
}

std::vector<uint8_t> number_buffer(uint32_t value)
{
    std::vector<uint8_t> b(4);
    std::memcpy(b.data(), &value, 4);
    return b;
}

class PortDriver : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(arrivals_.ready());
        node_ = std::make_unique<test_node>();
        ASSERT_TRUE(node_->registered());
        BOOL reboot = TRUE;
        ASSERT_TRUE(node_->install(&reboot)) << GetLastError();
        EXPECT_FALSE(reboot);
        path_ = node_->interface_path(port_interface_class);
        ASSERT_FALSE(path_.empty());
    }

    file_handle open(DWORD access = GENERIC_READ | GENERIC_WRITE) const
    {
        return file_handle(CreateFileW(path_.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    }

    notification_window arrivals_{port_interface_class};
    std::unique_ptr<test_node> node_;
    std::wstring path_;
};

TEST_F(PortDriver, InstalledNodeListsBothInterfacesAndAnnouncesArrival)
{
    EXPECT_FALSE(node_->interface_path(comport_interface_class).empty());
    EXPECT_TRUE(arrivals_.wait_for(DBT_DEVICEARRIVAL, [&](const std::wstring& name) {
        return node_->path_belongs_to_node(name);
    }));
    EXPECT_EQ(read_knob(record_install_flags), static_cast<DWORD>(DIIDFLAG_SHOWSEARCHUI));
    EXPECT_EQ(read_knob(record_install_had_driver), 0u);
}

TEST_F(PortDriver, StringSettingsRoundTripInExactFormat)
{
    auto device = open();
    ASSERT_TRUE(device);
    const std::pair<DWORD, DWORD> strings[] = {
        {IOCTL_WHARFDRV_SET_REMOTE_HOST, IOCTL_WHARFDRV_GET_REMOTE_HOST},
        {IOCTL_WHARFDRV_SET_LOGIN, IOCTL_WHARFDRV_GET_LOGIN},
        {IOCTL_WHARFDRV_SET_DOMAIN, IOCTL_WHARFDRV_GET_DOMAIN},
        {IOCTL_WHARFDRV_SET_PASSWORD, IOCTL_WHARFDRV_TEST_GET_PASSWORD},
    };
    for (auto [set, get] : strings) {
        SCOPED_TRACE(::testing::Message() << std::hex << set);
        // Never set: an empty string, answered as a count of 0.
        auto fresh = control(device.get(), get, {}, 65536);
        ASSERT_TRUE(fresh.ok) << fresh.error;
        EXPECT_EQ(fresh.bytes, number_buffer(0));

        std::wstring text = L"h\u00f6st-" + std::to_wstring(set);
        ASSERT_TRUE(control(device.get(), set, string_buffer(text), 0).ok);
        auto back = control(device.get(), get, {}, 65536);
        ASSERT_TRUE(back.ok) << back.error;
        EXPECT_EQ(back.bytes, string_buffer(text));

        ASSERT_TRUE(control(device.get(), set, string_buffer(L""), 0).ok);
        EXPECT_EQ(control(device.get(), get, {}, 65536).bytes, number_buffer(0));
    }
    // The longest accepted string still fits the largest reply buffer the library offers.
    std::wstring longest(WHARFDRV_MAX_STRING, L'x');
    ASSERT_TRUE(control(device.get(), IOCTL_WHARFDRV_SET_REMOTE_HOST, string_buffer(longest), 0).ok);
    auto back = control(device.get(), IOCTL_WHARFDRV_GET_REMOTE_HOST, {}, 65536);
    ASSERT_TRUE(back.ok);
    EXPECT_EQ(back.bytes.size(), 4u + 2u * WHARFDRV_MAX_STRING);
}

TEST_F(PortDriver, NumberSettingsRoundTripAsFourBytes)
{
    auto device = open();
    ASSERT_TRUE(device);
    const std::pair<DWORD, DWORD> numbers[] = {
        {IOCTL_WHARFDRV_SET_REMOTE_PORT, IOCTL_WHARFDRV_GET_REMOTE_PORT},
        {IOCTL_WHARFDRV_SET_CONNECTION_TIMEOUT, IOCTL_WHARFDRV_GET_CONNECTION_TIMEOUT},
        {IOCTL_WHARFDRV_SET_CONNECTION_ATTEMPTS, IOCTL_WHARFDRV_GET_CONNECTION_ATTEMPTS},
    };
    uint32_t value = 0xFFFFFFFEu;
    for (auto [set, get] : numbers) {
        SCOPED_TRACE(::testing::Message() << std::hex << set);
        EXPECT_EQ(control(device.get(), get, {}, 65536).bytes, number_buffer(0));
        ASSERT_TRUE(control(device.get(), set, number_buffer(value), 0).ok);
        EXPECT_EQ(control(device.get(), get, {}, 65536).bytes, number_buffer(value));
        value -= 0x01010101u;  // each setting keeps its own value
    }
    EXPECT_EQ(control(device.get(), IOCTL_WHARFDRV_GET_REMOTE_PORT, {}, 4).bytes,
              number_buffer(0xFFFFFFFEu));
}

TEST_F(PortDriver, GetsWorkThroughReadOnlyHandles)
{
    {
        auto writer = open();
        ASSERT_TRUE(control(writer.get(), IOCTL_WHARFDRV_SET_REMOTE_PORT, number_buffer(4001), 0).ok);
    }
    auto reader = open(GENERIC_READ);
    ASSERT_TRUE(reader);
    EXPECT_EQ(control(reader.get(), IOCTL_WHARFDRV_GET_REMOTE_PORT, {}, 65536).bytes,
              number_buffer(4001));
}

TEST_F(PortDriver, SettingsAreKeptPerDevice)
{
    test_node other;
    ASSERT_TRUE(other.registered());
    BOOL reboot = FALSE;
    ASSERT_TRUE(other.install(&reboot));
    std::wstring other_path = other.interface_path(port_interface_class);
    ASSERT_FALSE(other_path.empty());
    ASSERT_NE(other_path, path_);

    auto first = open();
    file_handle second(CreateFileW(other_path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    ASSERT_TRUE(control(first.get(), IOCTL_WHARFDRV_SET_LOGIN, string_buffer(L"alice"), 0).ok);
    ASSERT_TRUE(control(second.get(), IOCTL_WHARFDRV_SET_LOGIN, string_buffer(L"bob"), 0).ok);
    EXPECT_EQ(control(first.get(), IOCTL_WHARFDRV_GET_LOGIN, {}, 65536).bytes, string_buffer(L"alice"));
    EXPECT_EQ(control(second.get(), IOCTL_WHARFDRV_GET_LOGIN, {}, 65536).bytes, string_buffer(L"bob"));
}

TEST_F(PortDriver, MalformedBuffersAreRefusedAndKeepTheStoredValue)
{
    auto device = open();
    ASSERT_TRUE(device);
    ASSERT_TRUE(control(device.get(), IOCTL_WHARFDRV_SET_DOMAIN, string_buffer(L"keep"), 0).ok);
    ASSERT_TRUE(control(device.get(), IOCTL_WHARFDRV_SET_REMOTE_PORT, number_buffer(77), 0).ok);

    auto longer = string_buffer(L"abc");
    longer.push_back(0);
    auto shorter = string_buffer(L"abc");
    shorter.pop_back();
    const std::vector<uint8_t> bad_strings[] = {
        {},                                       // nothing
        {1, 0, 0},                                // shorter than the count
        string_buffer(L"abc", 2),                 // count smaller than the text
        string_buffer(L"abc", 4),                 // count larger than the text
        string_buffer(L"ab", 0x7FFFFFFFu),        // count far beyond the buffer
        string_buffer(L"", 0x80000002u),          // count whose byte size wraps
        longer,                                   // odd trailing byte
        shorter,                                  // half a character missing
        string_buffer(std::wstring(WHARFDRV_MAX_STRING + 1, L'y')),  // too long to read back
    };
    for (const auto& in : bad_strings) {
        auto r = control(device.get(), IOCTL_WHARFDRV_SET_DOMAIN, in, 0);
        EXPECT_FALSE(r.ok) << "input of " << in.size() << " bytes was accepted";
        EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << in.size();
    }
    for (size_t size : {0u, 3u, 5u, 8u}) {
        std::vector<uint8_t> in(size, 0x11);
        EXPECT_FALSE(control(device.get(), IOCTL_WHARFDRV_SET_REMOTE_PORT, in, 0).ok) << size;
    }
    // A set that asks for output and a get that sends input are refused too.
    EXPECT_FALSE(control(device.get(), IOCTL_WHARFDRV_SET_REMOTE_PORT, number_buffer(5), 4).ok);
    EXPECT_FALSE(control(device.get(), IOCTL_WHARFDRV_GET_REMOTE_PORT, number_buffer(5), 4).ok);

    EXPECT_EQ(control(device.get(), IOCTL_WHARFDRV_GET_DOMAIN, {}, 65536).bytes, string_buffer(L"keep"));
    EXPECT_EQ(control(device.get(), IOCTL_WHARFDRV_GET_REMOTE_PORT, {}, 65536).bytes, number_buffer(77));
}

TEST_F(PortDriver, RepliesThatDoNotFitAndUnknownCodesAreRefused)
{
    auto device = open();
    ASSERT_TRUE(device);
    ASSERT_TRUE(control(device.get(), IOCTL_WHARFDRV_SET_LOGIN, string_buffer(L"abcd"), 0).ok);
    auto small = control(device.get(), IOCTL_WHARFDRV_GET_LOGIN, {}, 4 + 2 * 4 - 1);
    EXPECT_FALSE(small.ok);
    EXPECT_EQ(small.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_FALSE(control(device.get(), IOCTL_WHARFDRV_GET_LOGIN, {}, 0).ok);
    EXPECT_FALSE(control(device.get(), IOCTL_WHARFDRV_GET_REMOTE_PORT, {}, 3).ok);
    EXPECT_TRUE(control(device.get(), IOCTL_WHARFDRV_GET_LOGIN, {}, 4 + 2 * 4).ok);

    // The password has no get; its function number with read access is not a control.
    auto get_password = control(device.get(), WHARFDRV_CONTROL(0x80B, WHARFDRV_READ), {}, 65536);
    EXPECT_FALSE(get_password.ok);
    EXPECT_EQ(get_password.error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
}

TEST_F(PortDriver, RemovalTakesInterfacesAwayAndAnnouncesIt)
{
    ASSERT_EQ(node_->remove(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(arrivals_.wait_for(DBT_DEVICEREMOVECOMPLETE, [&](const std::wstring& name) {
        return node_->path_belongs_to_node(name);
    }));
    EXPECT_TRUE(node_->interface_path(port_interface_class).empty());
    EXPECT_TRUE(node_->interface_path(comport_interface_class).empty());
    EXPECT_FALSE(open());
}

// The library finds its ports through the COM-port interface and reads "PortName" from the
// device key of the node it lists; the install must leave that value as written.
TEST(InstallDevice, PortNameWrittenBeforeInstallIsFoundThroughTheComPortInterface)
{
    test_node node;
    ASSERT_TRUE(node.registered());
    ASSERT_TRUE(node.write_port_name(L"COM7"));
    BOOL reboot = TRUE;
    ASSERT_TRUE(node.install(&reboot));

    device_info_list set(SetupDiGetClassDevsExW(&comport_interface_class, nullptr, nullptr,
                                                DIGCF_PRESENT | DIGCF_DEVICEINTERFACE, nullptr,
                                                nullptr, nullptr));
    ASSERT_TRUE(set);
    std::wstring found;
    SP_DEVINFO_DATA info{sizeof(info)};
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set.get(), i, &info); ++i) {
        wchar_t id[200] = {};
        if (!SetupDiGetDeviceInstanceIdW(set.get(), &info, id, 200, nullptr) ||
            node.instance_id() != id)
            continue;
        HKEY key = SetupDiOpenDevRegKey(set.get(), &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        ASSERT_NE(key, INVALID_HANDLE_VALUE);
        wchar_t name[260] = {};
        DWORD size = sizeof(name) - sizeof(wchar_t), type = 0;
        EXPECT_EQ(RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        RegCloseKey(key);
        found = name;
    }
    EXPECT_EQ(found, L"COM7");
}

TEST(InstallDevice, InjectedErrorFailsWithItAndInstallsNothing)
{
    knob_guard fail(knob_install_error, ERROR_NO_DRIVER_SELECTED);
    test_node node;
    ASSERT_TRUE(node.registered());
    BOOL reboot = TRUE;
    SetLastError(0);
    EXPECT_FALSE(node.install(&reboot));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DRIVER_SELECTED));
    EXPECT_FALSE(reboot);
    EXPECT_TRUE(node.interface_path(port_interface_class).empty());
}

TEST(InstallDevice, RestartKnobInstallsAndReportsNeedReboot)
{
    knob_guard restart(knob_install_need_reboot, 1);
    DWORD calls = read_knob(record_install_calls);
    test_node node;
    ASSERT_TRUE(node.registered());
    BOOL reboot = FALSE;
    EXPECT_TRUE(node.install(&reboot, 0));
    EXPECT_TRUE(reboot);
    EXPECT_EQ(read_knob(record_install_calls), calls + 1);
    EXPECT_EQ(read_knob(record_install_flags), 0u);
    EXPECT_FALSE(node.interface_path(port_interface_class).empty());
}

} // namespace
