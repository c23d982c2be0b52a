// The Connect and Delete roads of wharfpanel.exe, driven from outside against the real
// wharfcore.dll, the test driver and the COM port database and installer doubles: a connected
// port is really created, configured through the driver and deleted.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "com_numbers.h"
#include "panel_automation.h"
#include "screenshot.h"
#include "server/sim_server_process.h"
#include "support/doubles_knobs.h"
#include "support/device_nodes.h"
#include "wharfcore_under_test.h"
#include "wharfdrv/wharfdrv_controls.h"

using namespace panel_test;

namespace {

constexpr wchar_t cred_caption[] = L"Connect to Remote Port";

// What the test driver holds for one device.
struct driver_settings {
    std::wstring host;
    DWORD port = 0;
    std::wstring login;
    std::wstring password;
    std::wstring domain;
};

std::wstring driver_string(HANDLE device, DWORD code)
{
    std::vector<BYTE> reply(65536);
    DWORD written = 0;
    if (!DeviceIoControl(device, code, nullptr, 0, reply.data(), static_cast<DWORD>(reply.size()), &written, nullptr) ||
        written < 4)
        return L"<unreadable>";
    return std::wstring(reinterpret_cast<wchar_t*>(reply.data() + 4), *reinterpret_cast<UINT*>(reply.data()));
}

std::vector<driver_settings> driver_devices()
{
    std::vector<driver_settings> found;
    for (const auto& path : wharf_test::present_interface_paths(wharf_test::port_interface_class)) {
        HANDLE device = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
        if (device == INVALID_HANDLE_VALUE)
            continue;
        driver_settings settings;
        settings.host = driver_string(device, IOCTL_WHARFDRV_GET_REMOTE_HOST);
        DWORD written = 0;
        DeviceIoControl(device, IOCTL_WHARFDRV_GET_REMOTE_PORT, nullptr, 0, &settings.port, sizeof(settings.port),
                        &written, nullptr);
        settings.login = driver_string(device, IOCTL_WHARFDRV_GET_LOGIN);
        settings.password = driver_string(device, IOCTL_WHARFDRV_TEST_GET_PASSWORD);
        settings.domain = driver_string(device, IOCTL_WHARFDRV_GET_DOMAIN);
        CloseHandle(device);
        found.push_back(settings);
    }
    return found;
}

std::wstring com(std::uint32_t n)
{
    return L"COM" + std::to_wstring(n);
}

// Holds the port library's device watcher (the thread of its message-only window in the
// program) suspended while it lives, so that a removal reaches the library only afterwards.
// The watcher is let handle what was sent to it so far first: it is then waiting for messages
// and holds none of the library's locks.
class device_watcher_hold {
public:
    explicit device_watcher_hold(DWORD pid)
    {
        constexpr wchar_t prefix[] = L"wharfcore.DeviceWatch.";
        for (HWND window = FindWindowExW(HWND_MESSAGE, nullptr, nullptr, nullptr); window;
             window = FindWindowExW(HWND_MESSAGE, window, nullptr, nullptr)) {
            DWORD owner = 0;
            const DWORD thread = GetWindowThreadProcessId(window, &owner);
            wchar_t name[64] = {};
            GetClassNameW(window, name, 64);
            if (owner != pid || wcsncmp(name, prefix, wcslen(prefix)) != 0)
                continue;
            DWORD_PTR ignored = 0;
            if (!SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_BLOCK, 20000, &ignored))
                return;
            thread_ = OpenThread(THREAD_SUSPEND_RESUME, FALSE, thread);
            if (thread_ && SuspendThread(thread_) == static_cast<DWORD>(-1)) {
                CloseHandle(thread_);
                thread_ = nullptr;
            }
            return;
        }
    }
    device_watcher_hold(const device_watcher_hold&) = delete;
    device_watcher_hold& operator=(const device_watcher_hold&) = delete;
    ~device_watcher_hold()
    {
        if (thread_) {
            ResumeThread(thread_);
            CloseHandle(thread_);
        }
    }
    bool holding() const { return thread_ != nullptr; }

private:
    HANDLE thread_ = nullptr;
};

// The main window with the simulated server "." (sharing COM1 and COM2) in its tree.
class PanelConnect : public testing::Test {
protected:
    PanelConnect() : PanelConnect(WHARFPANEL_TEST_COPY) {}
    explicit PanelConnect(const char* program) : panel{program} {}

    void SetUp() override
    {
        ASSERT_EQ(library.result(), S_OK);
        ASSERT_TRUE(panel.started());
        main = panel.find_window(main_caption);
        ASSERT_NE(main, nullptr);
        tree = GetDlgItem(main, 1001);
        list = GetDlgItem(main, 1007);
        ASSERT_TRUE(wait_reply_slot());
        send_datagram(discovery_reply(1, L"."));
        ASSERT_TRUE(wait_for([&] { return SendMessageW(tree, TVM_GETCOUNT, 0, 0) == 3; }));
    }
    void TearDown() override
    {
        if (HWND window = panel.window_now(main_caption)) {
            press(window, IDCANCEL);
            EXPECT_EQ(panel.wait_exit(15000), 0u);
        }
    }

    // Selects shared port i of the server and presses Connect…
    void connect_item(std::size_t i)
    {
        const auto nodes = read_tree(panel.handle(), tree);
        ASSERT_EQ(nodes.size(), 1u);
        ASSERT_GT(nodes[0].children.size(), i);
        select_tree_item(tree, nodes[0].children[i].first);
        ASSERT_TRUE(wait_for([&] { return IsWindowEnabled(GetDlgItem(main, 1003)) != FALSE; }));
        press(main, 1003);
    }

    // Connects shared port i with the given password, answering the credential question Yes,
    // and waits for its row.
    void connect_with(std::size_t i, const wchar_t* password)
    {
        connect_item(i);
        HWND cred = panel.find_window(cred_caption);
        ASSERT_NE(cred, nullptr);
        SendMessageW(GetDlgItem(cred, 1011), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(password));
        const std::size_t rows = read_list(panel.handle(), list).size();
        press(cred, IDOK);
        HWND question = panel.find_window(L"Remote Port Connection");
        ASSERT_NE(question, nullptr);
        press(question, IDYES);
        ASSERT_TRUE(wait_for([&] { return read_list(panel.handle(), list).size() == rows + 1; }, 60000));
    }

    std::vector<std::wstring> port_texts() const
    {
        const auto nodes = read_tree(panel.handle(), tree);
        return nodes.empty() ? std::vector<std::wstring>{} : nodes[0].child_texts();
    }

    registered_wharfcore library;
    sim_server_process server{L"--port COM1=1 --port COM2=2"};
    panel_process panel;
    HWND main = nullptr;
    HWND tree = nullptr;
    HWND list = nullptr;
};

TEST_F(PanelConnect, ConnectCreatesConfiguredPortAndDeleteRemovesIt)
{
    const std::uint32_t expected = first_free_com_number();
    const std::vector<std::uint32_t> taken = present_com_numbers();

    connect_item(1);
    HWND cred = panel.find_window(cred_caption);
    ASSERT_NE(cred, nullptr);
    HWND login = GetDlgItem(cred, 1010), password = GetDlgItem(cred, 1011), domain = GetDlgItem(cred, 1012);
    HWND ok = GetDlgItem(cred, IDOK), combo = GetDlgItem(cred, 1016);

    // COM1 to COM256, numbers that are present marked, the first free one chosen.
    const auto entries = read_combo(combo);
    ASSERT_EQ(entries.size(), 256u);
    for (std::uint32_t n = 1; n <= 256; ++n) {
        const bool in_use = std::binary_search(taken.begin(), taken.end(), n);
        EXPECT_EQ(entries[n - 1], com(n) + (in_use ? L" (in use)" : L""));
    }
    EXPECT_EQ(SendMessageW(combo, CB_GETCURSEL, 0, 0), static_cast<LRESULT>(expected - 1));
    EXPECT_EQ(text_of(combo), com(expected));

    // OK needs a login and a password; the domain plays no part.
    EXPECT_FALSE(IsWindowEnabled(ok));
    SendMessageW(login, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
    SendMessageW(password, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"s3cret"));
    EXPECT_FALSE(IsWindowEnabled(ok)) << "a password alone must not enable OK";
    SendMessageW(login, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"operator"));
    EXPECT_TRUE(IsWindowEnabled(ok));
    SendMessageW(domain, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"WORKGROUP"));
    save_screenshot(cred, L"connect_credentials");

    // The check fails here (the logon token cannot be used): No keeps everything typed.
    press(cred, IDOK);
    HWND question = panel.find_window(L"Remote Port Connection");
    ASSERT_NE(question, nullptr);
    EXPECT_EQ(box_text(question).rfind(L"Supplied credentials are invalid: ", 0), 0u) << box_text(question);
    EXPECT_NE(box_text(question).find(L"Do you still want to use them?"), std::wstring::npos);
    save_screenshot(question, L"connect_credentials_question");
    press(question, IDNO);
    ASSERT_TRUE(wait_gone(question));
    ASSERT_TRUE(IsWindow(cred));
    EXPECT_EQ(text_of(login), L"operator");
    EXPECT_EQ(text_of(domain), L"WORKGROUP");
    EXPECT_EQ(text_length(password), 6);

    // Yes uses them anyway; the operation runs under "Please Wait".
    created_windows windows(panel.pid());
    ASSERT_TRUE(windows.hooked());
    press(cred, IDOK);
    question = panel.find_window(L"Remote Port Connection");
    ASSERT_NE(question, nullptr);
    press(question, IDYES);

    const std::wstring row = com(expected) + L" \x2194 .: COM2";
    ASSERT_TRUE(wait_for([&] { return read_list(panel.handle(), list) == std::vector<std::wstring>{row}; }, 60000))
        << "list holds " << (read_list(panel.handle(), list).empty() ? "nothing" : "other rows");
    EXPECT_TRUE(windows.saw(L"Please Wait")) << "the progress dialog never came";
    EXPECT_TRUE(wait_for([&] {
        return port_texts() == std::vector<std::wstring>{L"COM1", L"COM2 [connected to " + com(expected) + L"]"};
    }));
    save_screenshot(main, L"connect_port_connected");

    const auto devices = driver_devices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].host, L".");
    EXPECT_EQ(devices[0].port, 2u);
    EXPECT_EQ(devices[0].login, L"operator");
    EXPECT_EQ(devices[0].password, L"s3cret");
    EXPECT_EQ(devices[0].domain, L"WORKGROUP");

    // The next Connect offers the new port's number as taken and the one after it.
    connect_item(0);
    cred = panel.find_window(cred_caption);
    ASSERT_NE(cred, nullptr);
    combo = GetDlgItem(cred, 1016);
    EXPECT_EQ(read_combo(combo)[expected - 1], com(expected) + L" (in use)");
    EXPECT_EQ(SendMessageW(combo, CB_GETCURSEL, 0, 0), static_cast<LRESULT>(first_free_com_number() - 1));
    EXPECT_GT(first_free_com_number(), expected);
    press(cred, IDCANCEL);
    ASSERT_TRUE(wait_gone(cred));

    // A connected shared port is not connected twice.
    connect_item(1);
    HWND info = panel.find_window(L"Connection Error");
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(box_text(info), L"Remote port is already connected.");
    press(info, IDOK);
    ASSERT_TRUE(wait_gone(info));
    EXPECT_EQ(panel.window_now(cred_caption), nullptr);

    // A second port, connected to COM1: two rows.
    connect_with(0, L"pw");
    ASSERT_EQ(read_list(panel.handle(), list).size(), 2u);
    ASSERT_EQ(driver_devices().size(), 2u);

    // Delete is enabled only while exactly one row is selected.
    HWND delete_button = GetDlgItem(main, 1004);
    EXPECT_FALSE(IsWindowEnabled(delete_button));
    select_list_row(panel.handle(), list, 0, true);
    ASSERT_TRUE(wait_for([&] { return IsWindowEnabled(delete_button) != FALSE; }));
    select_list_row(panel.handle(), list, 1, true);
    EXPECT_TRUE(wait_for([&] { return IsWindowEnabled(delete_button) == FALSE; })) << "two rows selected";
    select_list_row(panel.handle(), list, 0, false);
    EXPECT_TRUE(wait_for([&] { return IsWindowEnabled(delete_button) != FALSE; })) << "the second row alone";
    select_list_row(panel.handle(), list, -1, false);
    EXPECT_TRUE(wait_for([&] { return IsWindowEnabled(delete_button) == FALSE; })) << "no row selected";

    // The Delete command takes every selected row: both ports, their rows and the marks go at
    // once, while the library, its device watcher held, still lists the ports.
    select_list_row(panel.handle(), list, -1, true);
    ASSERT_TRUE(wait_for([&] { return SendMessageW(list, LVM_GETSELECTEDCOUNT, 0, 0) == 2; }));
    {
        device_watcher_hold hold(panel.pid());
        ASSERT_TRUE(hold.holding());
        DWORD_PTR ignored = 0;
        ASSERT_NE(SendMessageTimeoutW(main, WM_COMMAND, MAKEWPARAM(1004, BN_CLICKED), 0, SMTO_BLOCK, 60000, &ignored),
                  0);
        EXPECT_TRUE(read_list(panel.handle(), list).empty());
        EXPECT_EQ(port_texts(), (std::vector<std::wstring>{L"COM1", L"COM2"}));
    }
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(main, 1004)));
    EXPECT_TRUE(wait_for([] { return driver_devices().empty(); }, 20000));
    save_screenshot(main, L"connect_port_deleted");
}

TEST_F(PanelConnect, CancelAndCloseBoxCreateNothing)
{
    for (int way : {IDCANCEL, 0}) {
        connect_item(0);
        HWND cred = panel.find_window(cred_caption);
        ASSERT_NE(cred, nullptr);
        SendMessageW(GetDlgItem(cred, 1011), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"pw"));
        if (way == IDCANCEL)
            press(cred, IDCANCEL);
        else
            PostMessageW(cred, WM_CLOSE, 0, 0); // the title bar's close box
        ASSERT_TRUE(wait_gone(cred));
        EXPECT_EQ(panel.window_now(L"Remote Port Connection"), nullptr) << "no credential check may run";
    }
    Sleep(500);
    EXPECT_TRUE(read_list(panel.handle(), list).empty());
    EXPECT_TRUE(driver_devices().empty());
}

TEST_F(PanelConnect, PortNameThatCannotBeCreatedIsReportedAndLeavesNothing)
{
    connect_item(0);
    HWND cred = panel.find_window(cred_caption);
    ASSERT_NE(cred, nullptr);
    SendMessageW(GetDlgItem(cred, 1011), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"pw"));
    SendMessageW(GetDlgItem(cred, 1016), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"COM300"));
    press(cred, IDOK);
    HWND question = panel.find_window(L"Remote Port Connection");
    ASSERT_NE(question, nullptr);
    press(question, IDYES);
    ASSERT_TRUE(wait_gone(question));

    // The error box has the main window's caption: find it by its message text control. It
    // comes from the UI thread once the operation and its wait have ended.
    HWND error = panel.find_message_box(30000);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(GetWindowThreadProcessId(error, nullptr), GetWindowThreadProcessId(main, nullptr));
    EXPECT_EQ(GetWindow(error, GW_OWNER), main);
    EXPECT_EQ(panel.window_now(L"Please Wait"), nullptr);
    const std::wstring text = box_text(error);
    EXPECT_EQ(text.rfind(L"Error creating device: ", 0), 0u) << text;
    EXPECT_EQ(text.back(), L')') << text;
    EXPECT_NE(text.find(L"(0x8"), std::wstring::npos) << text;
    save_screenshot(error, L"connect_port_error");
    press(error, IDOK);
    ASSERT_TRUE(wait_gone(error));
    EXPECT_TRUE(read_list(panel.handle(), list).empty());
    EXPECT_TRUE(driver_devices().empty());
    EXPECT_EQ(port_texts(), (std::vector<std::wstring>{L"COM1", L"COM2"}));
}

// The same against the program whose own string allocations fail after the port name's.
class PanelConnectFailingAfterCreate : public PanelConnect {
protected:
    PanelConnectFailingAfterCreate() : PanelConnect(WHARFPANEL_STRING_FAULT) {}
};

TEST_F(PanelConnectFailingAfterCreate, StepAfterCreatePortFailsDeletesTheNewPortAndIsReported)
{
    const DWORD installs = wharf_test::read_knob(wharf_test::record_install_calls);
    connect_item(0);
    HWND cred = panel.find_window(cred_caption);
    ASSERT_NE(cred, nullptr);
    SendMessageW(GetDlgItem(cred, 1011), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"pw"));
    press(cred, IDOK);
    HWND question = panel.find_window(L"Remote Port Connection");
    ASSERT_NE(question, nullptr);
    press(question, IDYES);
    ASSERT_TRUE(wait_gone(question));

    HWND error = panel.find_message_box(30000);
    ASSERT_NE(error, nullptr);
    // createPort made the port: the failure came after it.
    EXPECT_EQ(wharf_test::read_knob(wharf_test::record_install_calls), installs + 1);
    std::wstring text = box_text(error);
    EXPECT_EQ(text.rfind(L"Error creating device: ", 0), 0u) << text;
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return static_cast<wchar_t>(towlower(c)); });
    EXPECT_NE(text.find(L"(0x8007000e)"), std::wstring::npos) << text;
    EXPECT_EQ(GetWindow(error, GW_OWNER), main);
    EXPECT_TRUE(wait_for([] { return driver_devices().empty(); }, 20000)) << "the new port was left behind";
    press(error, IDOK);
    ASSERT_TRUE(wait_gone(error));
    EXPECT_TRUE(read_list(panel.handle(), list).empty());
    EXPECT_EQ(port_texts(), (std::vector<std::wstring>{L"COM1", L"COM2"}));
}

} // namespace

TEST_F(PanelConnect, FailedDeleteIsReportedAndTheListFollowsTheLibrary)
{
    connect_with(0, L"pw");
    ASSERT_EQ(driver_devices().size(), 1u);
    // The port goes away behind the program's back: its Delete can only fail.
    ASSERT_EQ(wharf_test::remove_virtual_port_nodes(), 1);
    ASSERT_TRUE(wait_for([] { return driver_devices().empty(); }, 20000));
    // The program takes the library's list once, right after the failed delete. Its library
    // hears of the removal from the platform's messages, later than this process sees the
    // driver let go, and follows within two seconds of it (the library's own cases prove
    // that); nothing the program shows tells when, so the Delete waits longer than that.
    Sleep(3000);

    select_list_row(panel.handle(), list, 0, true);
    ASSERT_TRUE(wait_for([&] { return IsWindowEnabled(GetDlgItem(main, 1004)) != FALSE; }));
    press(main, 1004);
    HWND error = panel.find_message_box(30000);
    ASSERT_NE(error, nullptr);
    const std::wstring text = box_text(error);
    EXPECT_EQ(text.rfind(L"Error deleting device: ", 0), 0u) << text;
    EXPECT_NE(text.find(L"(0x8"), std::wstring::npos) << text;
    EXPECT_EQ(text_of(error), main_caption);
    save_screenshot(error, L"delete_port_error");
    press(error, IDOK);
    ASSERT_TRUE(wait_gone(error));
    // Rows show the library's devices as they are now: the vanished port has none.
    EXPECT_TRUE(wait_for([&] { return read_list(panel.handle(), list).empty(); }));
    EXPECT_EQ(port_texts(), (std::vector<std::wstring>{L"COM1", L"COM2"}));
}
