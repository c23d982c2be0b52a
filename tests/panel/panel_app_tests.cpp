#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/sim_server_process.h"
#include "wharfcore_under_test.h"

namespace {

constexpr wchar_t reply_slot[] = L"\\\\.\\mailslot\\wharfnet_{D28E780C-1CD1-4816-A5D0-BDD937CBACC9}_v1.01";

// wharfpanel.exe as a child process.
class panel_process {
public:
    panel_process()
    {
        std::wstring exe = windows_path(WHARFPANEL_EXE);
        std::wstring command = L"\"" + exe + L"\"";
        STARTUPINFOW startup{sizeof(startup)};
        started_ = CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                  &info_) != 0;
    }
    ~panel_process()
    {
        if (!started_)
            return;
        if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(info_.hProcess, 1);
            WaitForSingleObject(info_.hProcess, 10000);
        }
        CloseHandle(info_.hProcess);
        CloseHandle(info_.hThread);
    }
    bool started() const { return started_; }
    DWORD pid() const { return info_.dwProcessId; }
    HANDLE handle() const { return info_.hProcess; }

    // The exit code, or STILL_ACTIVE when the process did not end in time.
    DWORD wait_exit(DWORD ms) const
    {
        if (WaitForSingleObject(info_.hProcess, ms) != WAIT_OBJECT_0)
            return STILL_ACTIVE;
        DWORD code = 0;
        GetExitCodeProcess(info_.hProcess, &code);
        return code;
    }

    // A visible top-level window of the process with this caption, waited for.
    HWND find_window(const std::wstring& caption, DWORD ms = 20000) const
    {
        struct search {
            DWORD pid;
            const std::wstring* caption;
            HWND found;
        } s{pid(), &caption, nullptr};
        const ULONGLONG until = GetTickCount64() + ms;
        while (GetTickCount64() < until) {
            EnumWindows(
                [](HWND window, LPARAM context) -> BOOL {
                    auto* s = reinterpret_cast<search*>(context);
                    DWORD owner = 0;
                    GetWindowThreadProcessId(window, &owner);
                    wchar_t text[256] = {};
                    GetWindowTextW(window, text, 256);
                    if (owner == s->pid && IsWindowVisible(window) && *s->caption == text) {
                        s->found = window;
                        return FALSE;
                    }
                    return TRUE;
                },
                reinterpret_cast<LPARAM>(&s));
            if (s.found)
                return s.found;
            Sleep(50);
        }
        return nullptr;
    }

private:
    PROCESS_INFORMATION info_{};
    bool started_ = false;
};

std::wstring text_of(HWND window)
{
    wchar_t text[1024] = {};
    GetWindowTextW(window, text, 1024);
    return text;
}

// Memory in the target process for the common controls' item structures.
class remote_buffer {
public:
    remote_buffer(HANDLE process, std::size_t size) : process_(process)
    {
        address_ = VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    }
    ~remote_buffer()
    {
        if (address_)
            VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
    }
    char* at(std::size_t offset) const { return static_cast<char*>(address_) + offset; }
    template <class T> void write(const T& value, std::size_t offset = 0) const
    {
        WriteProcessMemory(process_, at(offset), &value, sizeof(T), nullptr);
    }
    std::wstring read_text(std::size_t offset, std::size_t chars) const
    {
        std::vector<wchar_t> text(chars + 1);
        ReadProcessMemory(process_, at(offset), text.data(), chars * sizeof(wchar_t), nullptr);
        text[chars] = 0;
        return text.data();
    }

private:
    HANDLE process_;
    void* address_ = nullptr;
};

struct tree_node {
    std::wstring text;
    std::vector<std::wstring> children;
};

std::wstring tree_item_text(HANDLE process, HWND tree, HTREEITEM item)
{
    remote_buffer buffer(process, 4096);
    TVITEMW query{};
    query.mask = TVIF_TEXT;
    query.hItem = item;
    query.pszText = reinterpret_cast<wchar_t*>(buffer.at(512));
    query.cchTextMax = 1000;
    buffer.write(query);
    SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(buffer.at(0)));
    return buffer.read_text(512, 1000);
}

std::vector<tree_node> read_tree(HANDLE process, HWND tree)
{
    std::vector<tree_node> nodes;
    auto item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0));
    while (item) {
        tree_node node{tree_item_text(process, tree, item), {}};
        auto child = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CHILD, reinterpret_cast<LPARAM>(item)));
        while (child) {
            node.children.push_back(tree_item_text(process, tree, child));
            child = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(child)));
        }
        nodes.push_back(node);
        item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(item)));
    }
    return nodes;
}

void send_datagram(const std::vector<std::uint8_t>& bytes)
{
    HANDLE slot = CreateFileW(reply_slot, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(slot, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD written = 0;
    WriteFile(slot, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(slot);
}

std::vector<std::uint8_t> reply(std::uint32_t count, const std::wstring& name)
{
    std::vector<std::uint8_t> out;
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(count >> (8 * i)));
    for (wchar_t c : name) {
        out.push_back(static_cast<std::uint8_t>(c & 0xFF));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return out;
}

// Waits until the mailslot of a started program exists.
bool wait_reply_slot()
{
    const ULONGLONG until = GetTickCount64() + 20000;
    while (GetTickCount64() < until) {
        HANDLE slot = CreateFileW(reply_slot, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (slot != INVALID_HANDLE_VALUE) {
            CloseHandle(slot);
            return true;
        }
        Sleep(50);
    }
    return false;
}

template <class F> bool wait_for(F done, DWORD ms = 15000)
{
    const ULONGLONG until = GetTickCount64() + ms;
    while (GetTickCount64() < until) {
        if (done())
            return true;
        Sleep(50);
    }
    return done();
}

void unregister_library()
{
    HMODULE module = LoadLibraryW(wharfcore_path().c_str());
    ASSERT_NE(module, nullptr);
    auto unreg = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(GetProcAddress(module, "DllUnregisterServer")));
    ASSERT_NE(unreg, nullptr);
    unreg();
    FreeLibrary(module);
}

} // namespace

TEST(PanelApp, WithoutLibraryShowsClassNotRegisteredAndExitsWithIt)
{
    unregister_library();
    panel_process panel;
    ASSERT_TRUE(panel.started());
    HWND box = panel.find_window(L"Velmor Software Tidewell");
    ASSERT_NE(box, nullptr);
    const std::wstring text = text_of(GetDlgItem(box, 65535));
    EXPECT_EQ(text.rfind(L"Error connecting to Tidewell Library: ", 0), 0u) << text.c_str();
    EXPECT_EQ(text.substr(text.size() - 12), L"(0x80040154)") << text.c_str();
    EXPECT_EQ(GetDlgItem(box, 1001), nullptr) << "the main window must not open";
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(panel.wait_exit(10000), 0x80040154u);
}

TEST(PanelApp, DiscoveryReplyBuildsTreeAndEscClosesWithZero)
{
    registered_wharfcore library;
    ASSERT_EQ(library.result(), S_OK);
    sim_server_process server(L"--port COM1=1 --port COM2=2");
    panel_process panel;
    ASSERT_TRUE(panel.started());
    HWND main = panel.find_window(L"Velmor Software Tidewell");
    ASSERT_NE(main, nullptr);
    ASSERT_NE(GetDlgItem(main, 1001), nullptr);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(main, 1006)));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(main, 1003)));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(main, 1004)));
    HWND list = GetDlgItem(main, 1007);
    RECT client{};
    GetClientRect(list, &client);
    EXPECT_EQ(SendMessageW(list, LVM_GETCOLUMNWIDTH, 0, 0), client.right);

    ASSERT_TRUE(wait_reply_slot());
    HWND tree = GetDlgItem(main, 1001);
    // Malformed and oversized datagrams first: the good one after them must still count.
    send_datagram(reply(0x80000002u, L"AB"));
    send_datagram(reply(5, L"ABCD"));
    send_datagram(reply(0, L""));
    send_datagram(reply(1, L"\\"));
    send_datagram(reply(1, L"."));
    ASSERT_TRUE(wait_for([&] { return SendMessageW(tree, TVM_GETCOUNT, 0, 0) == 3; }));
    auto nodes = read_tree(panel.handle(), tree);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].text, L".");
    EXPECT_EQ(nodes[0].children, (std::vector<std::wstring>{L"COM1", L"COM2"}));

    // The same server again: still one item.
    send_datagram(reply(1, L"."));
    Sleep(0);
    EXPECT_TRUE(wait_for([&] { return read_tree(panel.handle(), tree).size() == 1; }));

    PostMessageW(main, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(panel.wait_exit(10000), 0u);
}

TEST(PanelApp, SilentServerDoesNotHoldUpTheExit)
{
    registered_wharfcore library;
    ASSERT_EQ(library.result(), S_OK);
    sim_server_process server(L"--mode never");
    panel_process panel;
    ASSERT_TRUE(panel.started());
    HWND main = panel.find_window(L"Velmor Software Tidewell");
    ASSERT_NE(main, nullptr);
    ASSERT_TRUE(wait_reply_slot());
    send_datagram(reply(1, L"."));
    // The query is under way once the server has a client; give the datagram time to arrive.
    Sleep(500);
    const ULONGLONG start = GetTickCount64();
    PostMessageW(main, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(panel.wait_exit(30000), 0u);
    EXPECT_LT(GetTickCount64() - start, 5000u);
}
