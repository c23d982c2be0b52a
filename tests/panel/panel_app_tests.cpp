// wharfpanel.exe started as a process and driven from outside: start-up, discovery replies
// and their queries, a flood of replies, the directory picker, Remove Server and a prompt exit.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <tlhelp32.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "panel_automation.h"
#include "picker/picker_name_dialog.h"
#include "screenshot.h"
#include "server/sim_server_process.h"
#include "support/doubles_knobs.h"
#include "wharfcore_under_test.h"

using namespace panel_test;

namespace {

constexpr wchar_t picker_clsid_key[] = L"CLSID\\{17D6CCD8-3B7B-11D2-B9E0-00C04FD8DBF7}\\InprocServer32";
constexpr wchar_t picker_record_key[] = L"Software\\WharfTest\\Picker";

std::wstring read_string(HKEY root, const wchar_t* key, const wchar_t* name, bool& found)
{
    wchar_t value[1024] = {};
    DWORD size = sizeof(value) - sizeof(wchar_t);
    found = RegGetValueW(root, key, name, RRF_RT_REG_SZ | RRF_NOEXPAND, nullptr, value, &size) == ERROR_SUCCESS;
    return value;
}

DWORD read_dword_of(const wchar_t* key, const wchar_t* name)
{
    DWORD value = 0xFFFFFFFF;
    DWORD size = sizeof(value);
    RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_REG_DWORD, nullptr, &value, &size);
    return value;
}

// What the picker double recorded.
DWORD read_dword(const wchar_t* name)
{
    return read_dword_of(picker_record_key, name);
}

// What the counting copy of the program recorded (reply_read_counter.cpp).
constexpr wchar_t panel_record_key[] = L"Software\\WharfTest\\Panel";

DWORD read_panel_dword(const wchar_t* name)
{
    return read_dword_of(panel_record_key, name);
}

// The picker double (beside this test program) registered in place of the prefix's picker
// for the life of the object; what it records and returns is reset first.
class picker_double_registration {
public:
    picker_double_registration()
    {
        old_path_ = read_string(HKEY_CLASSES_ROOT, picker_clsid_key, nullptr, had_path_);
        old_model_ = read_string(HKEY_CLASSES_ROOT, picker_clsid_key, L"ThreadingModel", had_model_);
        wchar_t exe[MAX_PATH];
        GetModuleFileNameW(nullptr, exe, MAX_PATH);
        std::wstring path = exe;
        path = path.substr(0, path.find_last_of(L'\\') + 1) + L"picker_double.dll";
        set(path, L"Both");
        RegDeleteTreeW(HKEY_CURRENT_USER, picker_record_key);
    }
    ~picker_double_registration()
    {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CLASSES_ROOT, picker_clsid_key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) ==
            ERROR_SUCCESS) {
            restore(key, nullptr, had_path_, old_path_);
            restore(key, L"ThreadingModel", had_model_, old_model_);
            RegCloseKey(key);
        }
        RegDeleteTreeW(HKEY_CURRENT_USER, picker_record_key);
    }
    // The computer the next pick returns.
    void select(const std::wstring& name)
    {
        RegSetKeyValueW(HKEY_CURRENT_USER, picker_record_key, L"Selection", REG_SZ, name.c_str(),
                        static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t)));
    }

private:
    static void set(const std::wstring& path, const std::wstring& model)
    {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, picker_clsid_key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                       static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
        RegSetValueExW(key, L"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(model.c_str()),
                       static_cast<DWORD>((model.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    static void restore(HKEY key, const wchar_t* name, bool had, const std::wstring& value)
    {
        if (had)
            RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        else
            RegDeleteValueW(key, name);
    }

    bool had_path_ = false;
    bool had_model_ = false;
    std::wstring old_path_;
    std::wstring old_model_;
};

// How long the program may take to end once its window is gone. Wine's own wait for the window
// (some 2 s without a window manager) comes before and is not counted. A close that waits for
// a server's query, or for an update check held up behind blocked queries, takes 20 s or more.
constexpr ULONGLONG exit_after_window_ms = 5000;

// Presses Close and waits for the program's end; window_ms and exit_ms tell when the window was
// gone and when the program had ended, counted from the press.
DWORD close_and_wait(panel_process& panel, HWND main, ULONGLONG& window_ms, ULONGLONG& exit_ms)
{
    const ULONGLONG start = GetTickCount64();
    PostMessageW(main, WM_COMMAND, IDCANCEL, 0);
    wait_for([&] { return !IsWindow(main); }, 30000);
    window_ms = GetTickCount64() - start;
    const DWORD code = panel.wait_exit(60000);
    exit_ms = GetTickCount64() - start;
    return code;
}

// The program's own end after its window: under the bound, and the exit code 0.
void expect_prompt_exit(panel_process& panel, HWND main)
{
    ULONGLONG window_ms = 0, exit_ms = 0;
    EXPECT_EQ(close_and_wait(panel, main, window_ms, exit_ms), 0u);
    EXPECT_LT(exit_ms - window_ms, exit_after_window_ms) << "window gone after " << window_ms << " ms";
}

std::size_t thread_count(DWORD pid)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    std::size_t count = 0;
    THREADENTRY32 entry{sizeof(entry)};
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == pid)
            ++count;
    CloseHandle(snapshot);
    return count;
}

// Listens on 127.0.0.1 where the silent-update copy of the program asks for updates, and never
// accepts: the program's connection stays in the backlog, its request unanswered.
class silent_update_host {
public:
    silent_update_host()
    {
        WSADATA data;
        started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
        socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (socket_ == INVALID_SOCKET)
            return;
        BOOL reuse = TRUE;
        setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof(reuse));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(SILENT_UPDATE_PORT);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        listening_ = bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
                     listen(socket_, 16) == 0;
    }
    silent_update_host(const silent_update_host&) = delete;
    silent_update_host& operator=(const silent_update_host&) = delete;
    ~silent_update_host()
    {
        if (socket_ != INVALID_SOCKET)
            closesocket(socket_);
        if (started_)
            WSACleanup();
    }
    bool listening() const { return listening_; }
    // True once a connection waits to be accepted: the update check has reached the host.
    bool wait_connection(DWORD ms)
    {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(socket_, &readable);
        timeval timeout{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
        return select(0, &readable, nullptr, nullptr, &timeout) == 1;
    }

private:
    bool started_ = false;
    bool listening_ = false;
    SOCKET socket_ = INVALID_SOCKET;
};

// This machine's request mailslot, made by the test and kept full while it is held: a discovery
// request written to it waits until the test reads the mailslot empty. (A mailslot holds only so
// many datagrams before a write has to wait for room.)
class request_slot_hold {
public:
    request_slot_hold()
    {
        slot_ = CreateMailslotW(path, 0, MAILSLOT_WAIT_FOREVER, nullptr);
    }
    request_slot_hold(const request_slot_hold&) = delete;
    request_slot_hold& operator=(const request_slot_hold&) = delete;
    ~request_slot_hold()
    {
        if (slot_ != INVALID_HANDLE_VALUE)
            CloseHandle(slot_);
    }
    bool made() const { return slot_ != INVALID_HANDLE_VALUE; }

    // Writes filler datagrams until one has to wait, and takes that one back: the next write waits.
    bool fill()
    {
        HANDLE writer = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
        if (writer == INVALID_HANDLE_VALUE)
            return false;
        bool full = false;
        HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        for (int i = 0; i < 100000 && !full; ++i) {
            OVERLAPPED overlapped{};
            overlapped.hEvent = done;
            ResetEvent(done);
            const std::vector<std::uint8_t> filler(filler_size, filler_byte);
            if (WriteFile(writer, filler.data(), filler_size, nullptr, &overlapped))
                continue;
            if (GetLastError() != ERROR_IO_PENDING)
                break;
            CancelIoEx(writer, &overlapped);
            DWORD written = 0;
            full = !GetOverlappedResult(writer, &overlapped, &written, TRUE) && GetLastError() == ERROR_OPERATION_ABORTED;
        }
        CloseHandle(done);
        CloseHandle(writer);
        return full;
    }

    // Reads the fillers and the first datagram after them, which it returns (empty when none
    // came within the time).
    std::vector<std::uint8_t> drain(DWORD ms = 20000)
    {
        SetMailslotInfo(slot_, ms);
        std::vector<std::uint8_t> datagram(1024);
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(slot_, datagram.data(), static_cast<DWORD>(datagram.size()), &got, nullptr))
                return {};
            datagram.resize(got);
            if (got != filler_size || datagram != std::vector<std::uint8_t>(filler_size, filler_byte))
                return datagram;
            datagram.resize(1024);
        }
    }

private:
    static constexpr wchar_t path[] = L"\\\\.\\mailslot\\wharfnet_{533EA321-B1EE-4116-A26D-88FE85C8EA7E}_v1.01";
    static constexpr DWORD filler_size = 16;
    static constexpr std::uint8_t filler_byte = 0xEE;
    HANDLE slot_ = INVALID_HANDLE_VALUE;
};

// True for a discovery request: a count, then that many UTF-16 units of a host name.
bool is_request(const std::vector<std::uint8_t>& datagram)
{
    if (datagram.size() < 4)
        return false;
    const std::uint32_t count = datagram[0] | (datagram[1] << 8) | (datagram[2] << 16) | (datagram[3] << 24);
    return datagram.size() == 4 + 2ull * count;
}

// How long a held request is watched for a Discover button that comes back too early.
constexpr DWORD held_watch_ms = 1500;

} // namespace

TEST(PanelApp, WithoutLibraryShowsClassNotRegisteredAndExitsWithIt)
{
    unregister_library();
    panel_process panel;
    ASSERT_TRUE(panel.started());
    HWND box = panel.find_window(main_caption);
    ASSERT_NE(box, nullptr);
    const std::wstring text = text_of(GetDlgItem(box, 65535));
    EXPECT_EQ(text.rfind(L"Error connecting to Tidewell Library: ", 0), 0u) << text.c_str();
    EXPECT_EQ(text.substr(text.size() - 12), L"(0x80040154)") << text.c_str();
    EXPECT_EQ(GetDlgItem(box, 1001), nullptr) << "the main window must not open";
    save_screenshot(box, L"panel_without_library");
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(panel.wait_exit(10000), 0x80040154u);
}

TEST(PanelApp, DiscoverWaitsForItsRequestAndAReplyBuildsTheTree)
{
    registered_wharfcore library;
    ASSERT_EQ(library.result(), S_OK);
    std::optional<sim_server_process> server;
    server.emplace(L"--port COM1=1 --port COM2=2");
    // The requests of this machine wait in a full request mailslot until the test reads it.
    request_slot_hold requests;
    ASSERT_TRUE(requests.made());
    ASSERT_TRUE(requests.fill()) << "the request mailslot never filled up";
    panel_process panel;
    ASSERT_TRUE(panel.started());
    HWND main = panel.find_window(main_caption);
    ASSERT_NE(main, nullptr);
    ASSERT_NE(GetDlgItem(main, 1001), nullptr);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(main, 1006)));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(main, 1003)));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(main, 1004)));

    // Discover is disabled while the start-up request waits to be written, and after that only.
    HWND discover = GetDlgItem(main, 1005);
    EXPECT_FALSE(wait_for([&] { return IsWindowEnabled(discover) != FALSE; }, held_watch_ms))
        << "Discover came back before the start-up request was written";
    EXPECT_TRUE(is_request(requests.drain())) << "no start-up request came";
    EXPECT_TRUE(wait_for([&] { return IsWindowEnabled(discover) != FALSE; }));
    // The same for a click.
    ASSERT_TRUE(requests.fill());
    press(main, 1005);
    EXPECT_TRUE(wait_for([&] { return IsWindowEnabled(discover) == FALSE; })) << "a click left Discover enabled";
    EXPECT_FALSE(wait_for([&] { return IsWindowEnabled(discover) != FALSE; }, held_watch_ms))
        << "Discover came back before the request was written";
    EXPECT_TRUE(is_request(requests.drain())) << "the click sent no request";
    EXPECT_TRUE(wait_for([&] { return IsWindowEnabled(discover) != FALSE; }));
    HWND list = GetDlgItem(main, 1007);
    RECT client{};
    GetClientRect(list, &client);
    EXPECT_EQ(SendMessageW(list, LVM_GETCOLUMNWIDTH, 0, 0), client.right);

    ASSERT_TRUE(wait_reply_slot());
    HWND tree = GetDlgItem(main, 1001);
    // Malformed and oversized datagrams first: the good one after them must still count.
    send_datagram(discovery_reply(0x80000002u, L"AB"));
    send_datagram(discovery_reply(5, L"ABCD"));
    send_datagram(discovery_reply(0, L""));
    send_datagram(discovery_reply(1, L"\\"));
    send_datagram(discovery_reply(1000, std::wstring(1000, L'A'))); // longer than a reply may be
    send_datagram(discovery_reply(1, L"."));
    ASSERT_TRUE(wait_for([&] { return SendMessageW(tree, TVM_GETCOUNT, 0, 0) == 3; }));
    auto nodes = read_tree(panel.handle(), tree);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].text, L".");
    EXPECT_EQ(nodes[0].child_texts(), (std::vector<std::wstring>{L"COM1", L"COM2"}));
    save_screenshot(main, L"panel_discovered_server");

    // The same server again, now sharing other ports: still one item, with the newer list.
    server.reset();
    server.emplace(L"--port COM3=3");
    send_datagram(discovery_reply(1, L"."));
    EXPECT_TRUE(wait_for([&] {
        auto again = read_tree(panel.handle(), tree);
        return again.size() == 1 && again[0].child_texts() == std::vector<std::wstring>{L"COM3"};
    }));

    PostMessageW(main, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(panel.wait_exit(10000), 0u);
}

TEST(PanelApp, ReportedExceptionEndsTheProgramWithMinusOne)
{
    registered_wharfcore library;
    ASSERT_EQ(library.result(), S_OK);
    panel_process panel(WHARFPANEL_ABOUT_FAULT_EXE);
    ASSERT_TRUE(panel.started());
    HWND main = panel.find_window(main_caption);
    ASSERT_NE(main, nullptr);
    make_main_window_throw(main);
    HWND report = panel.find_window(thrown_caption);
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(box_text(report), thrown_text);
    EXPECT_EQ(GetWindow(report, GW_OWNER), nullptr);
    press(report, IDOK);
    EXPECT_EQ(panel.wait_exit(10000), 0xFFFFFFFFu);
}

TEST(PanelApp, FailingOrSilentQueryHoldsUpNeitherOtherRepliesNorTheExit)
{
    registered_wharfcore library;
    ASSERT_EQ(library.result(), S_OK);
    picker_double_registration picker;
    picker.select(L".");
    // The server's first query is never answered, later ones are.
    sim_server_process server(L"--mode first-never --port COM1=1");
    panel_process panel;
    ASSERT_TRUE(panel.started());
    HWND main = panel.find_window(main_caption);
    ASSERT_NE(main, nullptr);
    HWND tree = GetDlgItem(main, 1001);
    ASSERT_TRUE(wait_reply_slot());

    // The picked server's query stays unanswered.
    press(main, 1002);
    ASSERT_TRUE(server.wait_query(20000)) << "the picked server was not queried";
    // A server whose pipe cannot be reached: its query fails, and the listener reads on. The
    // reply after it is handled while the pick's query is still unanswered.
    send_datagram(discovery_reply(10, L"nosuchhost"));
    send_datagram(discovery_reply(1, L"."));
    ASSERT_TRUE(wait_for([&] { return SendMessageW(tree, TVM_GETCOUNT, 0, 0) == 2; }))
        << "the reply after a failed query and beside an unanswered one was not handled";
    const auto nodes = read_tree(panel.handle(), tree);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].text, L".");
    EXPECT_EQ(nodes[0].child_texts(), std::vector<std::wstring>{L"COM1"});

    // The unanswered query is still running: closing ends the program promptly all the same.
    expect_prompt_exit(panel, main);
}

TEST(PanelApp, PickedComputerIsQueriedRemovedAndDiscoveredAgain)
{
    registered_wharfcore library;
    ASSERT_EQ(library.result(), S_OK);
    picker_double_registration picker;
    // No discovery service at first: only the pick brings the server.
    std::optional<sim_server_process> server;
    server.emplace(L"--port COM1=1");
    panel_process panel;
    ASSERT_TRUE(panel.started());
    HWND main = panel.find_window(main_caption);
    ASSERT_NE(main, nullptr);
    HWND tree = GetDlgItem(main, 1001);

    // Nothing chosen: nothing happens.
    press(main, 1002);
    ASSERT_TRUE(wait_for([] { return read_dword(L"HadOwner") != 0xFFFFFFFF; }));
    Sleep(500);
    EXPECT_EQ(SendMessageW(tree, TVM_GETCOUNT, 0, 0), 0);
    // One computer scope of the domain kinds, computers only, single selection, owned.
    EXPECT_EQ(read_dword(L"Scopes"), 1u);
    EXPECT_EQ(read_dword(L"flType"), 0x3FCu);
    EXPECT_EQ(read_dword(L"BothModes"), 0x800u);
    EXPECT_EQ(read_dword(L"Downlevel"), 0x80000008u);
    EXPECT_EQ(read_dword(L"Options"), 0u);
    EXPECT_EQ(read_dword(L"HadOwner"), 1u);

    picker.select(L".");
    press(main, 1002);
    ASSERT_TRUE(wait_for([&] { return SendMessageW(tree, TVM_GETCOUNT, 0, 0) == 2; }));
    auto nodes = read_tree(panel.handle(), tree);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].text, L".");
    EXPECT_EQ(nodes[0].child_texts(), std::vector<std::wstring>{L"COM1"});

    // A port item enables Connect; the server item enables Remove Server.
    select_tree_item(tree, nodes[0].children[0].first);
    EXPECT_TRUE(wait_for([&] { return IsWindowEnabled(GetDlgItem(main, 1003)) != FALSE; }));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(main, 1006)));
    select_tree_item(tree, nodes[0].item);
    EXPECT_TRUE(wait_for([&] { return IsWindowEnabled(GetDlgItem(main, 1006)) != FALSE; }));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(main, 1003)));

    // A click on the [-] box of a port's server collapses it and the selection moves to the
    // server: the buttons follow it.
    select_tree_item(tree, nodes[0].children[0].first);
    ASSERT_TRUE(wait_for([&] { return IsWindowEnabled(GetDlgItem(main, 1003)) != FALSE; }));
    const POINT box = tree_button_point(panel.handle(), tree, nodes[0].item);
    ASSERT_GE(box.x, 0) << "the server item shows no [-] box";
    click_at(tree, box);
    ASSERT_TRUE(wait_for([&] {
        return (SendMessageW(tree, TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(nodes[0].item), TVIS_EXPANDED) &
                TVIS_EXPANDED) == 0;
    })) << "the click did not collapse the server";
    EXPECT_EQ(next_item(tree, TVGN_CARET, nullptr), nodes[0].item);
    EXPECT_TRUE(wait_for([&] {
        return IsWindowEnabled(GetDlgItem(main, 1006)) != FALSE && IsWindowEnabled(GetDlgItem(main, 1003)) == FALSE;
    })) << "Remove Server " << IsWindowEnabled(GetDlgItem(main, 1006)) << ", Connect "
        << IsWindowEnabled(GetDlgItem(main, 1003)) << " with the server selected";

    press(main, 1006);
    EXPECT_TRUE(wait_for([&] { return SendMessageW(tree, TVM_GETCOUNT, 0, 0) == 0; }));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(main, 1006)));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(main, 1003)));
    save_screenshot(main, L"panel_server_removed");

    // Discover brings the removed server back, with the ports it shares now, through a request
    // that the server heard and answered (it makes no announcement of its own).
    server.reset();
    server.emplace(L"--discovery 1 --port COM1=1 --port COM2=2");
    press(main, 1005);
    ASSERT_TRUE(server->wait_answered(20000)) << "no discovery request reached the server";
    ASSERT_TRUE(wait_for([&] { return SendMessageW(tree, TVM_GETCOUNT, 0, 0) == 3; }));
    nodes = read_tree(panel.handle(), tree);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].text, L".");
    EXPECT_EQ(nodes[0].child_texts(), (std::vector<std::wstring>{L"COM1", L"COM2"}));
    EXPECT_EQ(server->unwaited_answers(), 0) << "one Discover, one request";
    save_screenshot(main, L"panel_server_rediscovered");

    press(main, IDCANCEL);
    EXPECT_EQ(panel.wait_exit(10000), 0u);
}

TEST(PanelApp, PickedServerWhosePipeIsBusyHoldsUpNeitherTheWindowNorTheExit)
{
    registered_wharfcore library;
    ASSERT_EQ(library.result(), S_OK);
    picker_double_registration picker;
    picker.select(L".");
    // The server's one pipe instance is taken: opening the pipe waits 20 s for it.
    sim_server_process server(L"--mode busy --delay-ms 20000");
    panel_process panel;
    ASSERT_TRUE(panel.started());
    HWND main = panel.find_window(main_caption);
    ASSERT_NE(main, nullptr);

    press(main, 1002);
    ASSERT_TRUE(wait_for([] { return read_dword(L"PipeWaits") != 0xFFFFFFFF; }, 30000))
        << "the query of the picked computer never began to wait for the pipe";
    // A message sent to the window is handled while the query waits for the pipe.
    DWORD_PTR ignored = 0;
    EXPECT_NE(SendMessageTimeoutW(main, WM_NULL, 0, 0, SMTO_BLOCK, 10000, &ignored), 0)
        << "the window waits for the server's pipe";

    // The query still waits for the pipe: closing ends the program promptly all the same.
    expect_prompt_exit(panel, main);
}

TEST(PanelApp, FloodOfRepliesStartsFewQueriesAndClosingStaysPrompt)
{
    registered_wharfcore library;
    ASSERT_EQ(library.result(), S_OK);
    silent_update_host update_host;
    ASSERT_TRUE(update_host.listening()) << "port " << SILENT_UPDATE_PORT << " is taken";
    // Loaded by a pick of nothing, the picker double tells each wait for a busy pipe.
    picker_double_registration picker;
    // Opening the service pipe waits a minute for its one instance: longer than the test.
    sim_server_process server(L"--mode busy --delay-ms 60000");
    // This copy of the program counts the datagrams its listener reads.
    RegDeleteKeyValueW(HKEY_CURRENT_USER, panel_record_key, L"ReplyReads");
    panel_process panel(WHARFPANEL_SILENT_UPDATE_EXE);
    ASSERT_TRUE(panel.started());
    HWND main = panel.find_window(main_caption);
    ASSERT_NE(main, nullptr);
    ASSERT_TRUE(wait_reply_slot());
    ASSERT_TRUE(update_host.wait_connection(30000)) << "the update check never reached its host";
    press(main, 1002);
    ASSERT_TRUE(wait_for([] { return read_dword(L"HadOwner") != 0xFFFFFFFF; }));
    const std::size_t threads_before = thread_count(panel.pid());

    // 5,000 replies of one server, and among them 1,000 of servers whose pipes cannot be reached
    // (their queries fail at once).
    constexpr DWORD replies = 6000;
    for (DWORD i = 0; i < 5000; ++i) {
        send_datagram(discovery_reply(1, L"."));
        if (i % 5 == 0) {
            const std::wstring unreachable = L"host" + std::to_wstring(i % 100);
            send_datagram(discovery_reply(static_cast<std::uint32_t>(unreachable.size()), unreachable));
        }
    }
    EXPECT_TRUE(wait_for([&] { return read_panel_dword(L"ReplyReads") == replies; }, 60000))
        << "the listener read " << read_panel_dword(L"ReplyReads") << " of the replies";
    // One query of the server waits for the pipe, holding a thread; the repeats started none.
    const std::wstring dot_pipe = L"\\\\.\\pipe\\wharfnet_{C1862EC9-6AC5-454E-B16C-C1349EE0CBEE}_v1.01";
    EXPECT_TRUE(wait_for([&] { return read_dword(dot_pipe.c_str()) != 0xFFFFFFFF; }));
    EXPECT_EQ(read_dword(dot_pipe.c_str()), 1u);
    const std::size_t threads_after = thread_count(panel.pid());
    EXPECT_LE(threads_after, threads_before + 8) << "threads before the flood: " << threads_before;

    // The query still waits for the pipe and the update check for its host: closing is prompt.
    ULONGLONG window_ms = 0, exit_ms = 0;
    EXPECT_EQ(close_and_wait(panel, main, window_ms, exit_ms), 0u);
    EXPECT_LT(exit_ms - window_ms, exit_after_window_ms) << "window gone after " << window_ms << " ms";
    std::printf("threads %zu before the flood, %zu after; closing: window gone after %llu ms, program ended after "
                "%llu ms\n",
                threads_before, threads_after, window_ms, exit_ms);
}

TEST(PanelApp, RunPickerAsksForTheNameAndAddsTheTypedComputerButNotACancelledOne)
{
    registered_wharfcore library;
    ASSERT_EQ(library.result(), S_OK);
    picker_double_registration picker;
    // As in the README's run: the picker asks for the computer's name.
    wharf_test::knob_guard asks(PICKER_ASKS_FOR_NAME, 1, HKEY_LOCAL_MACHINE);
    sim_server_process server(L"--port COM1=1 --port COM2=2");
    panel_process panel;
    ASSERT_TRUE(panel.started());
    HWND main = panel.find_window(main_caption);
    ASSERT_NE(main, nullptr);
    HWND tree = GetDlgItem(main, 1001);
    const auto ask_name = [&](const wchar_t* name) {
        press(main, 1002);
        HWND dialog = panel.find_window(L"" PICKER_NAME_CAPTION);
        if (dialog) {
            // As typed: the text, and the caret after it.
            HWND edit = GetDlgItem(dialog, PICKER_NAME_EDIT);
            SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(name));
            const WPARAM end = std::wcslen(name);
            SendMessageW(edit, EM_SETSEL, end, static_cast<LPARAM>(end));
        }
        return dialog;
    };

    // Cancel returns no selection, whatever was typed: no query, no server.
    HWND dialog = ask_name(L".");
    ASSERT_NE(dialog, nullptr) << "Add Server... showed no name dialog";
    EXPECT_EQ(GetWindow(dialog, GW_OWNER), main);
    EXPECT_FALSE(IsWindowEnabled(main));
    press(dialog, IDCANCEL);
    ASSERT_TRUE(wait_gone(dialog));
    ASSERT_TRUE(wait_for([&] { return IsWindowEnabled(main) != FALSE; }));
    // Once a message sent afterwards is handled, the command has ended; a query of a picked
    // computer would have been written to the pipe by then.
    DWORD_PTR ignored = 0;
    ASSERT_NE(SendMessageTimeoutW(main, WM_NULL, 0, 0, SMTO_BLOCK, 10000, &ignored), 0);
    EXPECT_FALSE(server.wait_query(2000)) << "a cancelled pick was queried";
    EXPECT_EQ(SendMessageW(tree, TVM_GETCOUNT, 0, 0), 0);

    // OK returns the typed name: "." is added with its two ports.
    dialog = ask_name(L".");
    ASSERT_NE(dialog, nullptr);
    save_screenshot(dialog, L"run_add_server_dialog");
    press(dialog, IDOK);
    ASSERT_TRUE(wait_gone(dialog));
    ASSERT_TRUE(wait_for([&] { return SendMessageW(tree, TVM_GETCOUNT, 0, 0) == 3; }));
    const auto nodes = read_tree(panel.handle(), tree);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].text, L".");
    EXPECT_EQ(nodes[0].child_texts(), (std::vector<std::wstring>{L"COM1", L"COM2"}));
    save_screenshot(main, L"run_server_added_by_name");

    press(main, IDCANCEL);
    EXPECT_EQ(panel.wait_exit(10000), 0u);
}
