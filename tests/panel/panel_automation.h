#pragma once
// Drives wharfpanel.exe from outside, as a person would: starts it, finds its windows, reads
// its tree, list and combo box (item texts through memory in its process), presses buttons
// with posted WM_COMMAND and answers message boxes.
#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "wharfcore_under_test.h"

namespace panel_test {

inline constexpr wchar_t main_caption[] = L"Velmor Software Tidewell";
inline constexpr wchar_t reply_slot[] = L"\\\\.\\mailslot\\wharfnet_{D28E780C-1CD1-4816-A5D0-BDD937CBACC9}_v1.01";

// Environment entries that replace (or add to) the test's own for the started program.
using environment_changes = std::vector<std::pair<std::wstring, std::wstring>>;

// This process's environment block with the given entries replaced or added.
inline std::wstring environment_with(const environment_changes& changes)
{
    auto is_changed = [&](const std::wstring& entry) {
        for (const auto& change : changes)
            if (entry.size() > change.first.size() && entry[change.first.size()] == L'=' &&
                CompareStringOrdinal(entry.c_str(), static_cast<int>(change.first.size()), change.first.c_str(),
                                     static_cast<int>(change.first.size()), TRUE) == CSTR_EQUAL)
                return true;
        return false;
    };
    std::wstring block;
    wchar_t* current = GetEnvironmentStringsW();
    for (const wchar_t* entry = current; *entry; entry += wcslen(entry) + 1) {
        if (is_changed(entry))
            continue;
        block += entry;
        block += L'\0';
    }
    FreeEnvironmentStringsW(current);
    for (const auto& change : changes) {
        block += change.first + L"=" + change.second;
        block += L'\0';
    }
    block += L'\0';
    return block;
}

// wharfpanel.exe as a child process; killed if it is still running at the end.
class panel_process {
public:
    explicit panel_process(const char* unix_exe = WHARFPANEL_EXE, const environment_changes& changes = {})
    {
        std::wstring exe = windows_path(unix_exe);
        std::wstring command = L"\"" + exe + L"\"";
        std::wstring environment = changes.empty() ? std::wstring{} : environment_with(changes);
        STARTUPINFOW startup{sizeof(startup)};
        started_ = CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE,
                                  CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT,
                                  environment.empty() ? nullptr : environment.data(), nullptr, &startup, &info_) != 0;
        if (!started_)
            return;
        // The program ends with this test process even when a time-out kills the test.
        job_ = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (job_) {
            SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
            AssignProcessToJobObject(job_, info_.hProcess);
        }
        ResumeThread(info_.hThread);
    }
    panel_process(const panel_process&) = delete;
    panel_process& operator=(const panel_process&) = delete;
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
        if (job_)
            CloseHandle(job_);
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
        const ULONGLONG until = GetTickCount64() + ms;
        for (;;) {
            if (HWND found = window_now(caption))
                return found;
            if (GetTickCount64() >= until)
                return nullptr;
            Sleep(20);
        }
    }

    // A message box of the process (a visible top-level window with the static 65535).
    HWND find_message_box(DWORD ms = 20000) const
    {
        const ULONGLONG until = GetTickCount64() + ms;
        for (;;) {
            std::pair<DWORD, HWND> found{pid(), nullptr};
            EnumWindows(
                [](HWND window, LPARAM context) -> BOOL {
                    auto* f = reinterpret_cast<std::pair<DWORD, HWND>*>(context);
                    DWORD owner = 0;
                    GetWindowThreadProcessId(window, &owner);
                    if (owner == f->first && IsWindowVisible(window) && GetDlgItem(window, 65535)) {
                        f->second = window;
                        return FALSE;
                    }
                    return TRUE;
                },
                reinterpret_cast<LPARAM>(&found));
            if (found.second || GetTickCount64() >= until)
                return found.second;
            Sleep(20);
        }
    }

    // The window with this caption if the process shows one at this moment.
    HWND window_now(const std::wstring& caption) const
    {
        struct search {
            DWORD pid;
            const std::wstring* caption;
            HWND found;
        } s{pid(), &caption, nullptr};
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
        return s.found;
    }

private:
    PROCESS_INFORMATION info_{};
    HANDLE job_ = nullptr;
    bool started_ = false;
};

// The text of a window of another process (WM_GETTEXT is carried across processes; a plain
// GetWindowTextW would give only a control's creation text).
inline std::wstring text_of(HWND window)
{
    wchar_t text[1024] = {};
    SendMessageW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
    return text;
}

inline int text_length(HWND window)
{
    return static_cast<int>(SendMessageW(window, WM_GETTEXTLENGTH, 0, 0));
}

// The text of a message box (its static 65535).
inline std::wstring box_text(HWND box)
{
    return text_of(GetDlgItem(box, 65535));
}

// Delivers what this thread's hooks and windows have waiting, then sleeps a little.
inline void pump_and_sleep(DWORD ms)
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, ms, QS_ALLINPUT);
}

template <class F> bool wait_for(F done, DWORD ms = 15000)
{
    const ULONGLONG until = GetTickCount64() + ms;
    while (GetTickCount64() < until) {
        if (done())
            return true;
        pump_and_sleep(20);
    }
    return done();
}

// Captions of the windows a process creates while the object lives, seen through an
// out-of-context event hook (so a window that comes and goes between two looks is not missed).
// The hook runs while this thread waits in wait_for.
class created_windows {
public:
    explicit created_windows(DWORD pid)
    {
        current() = this;
        hook_ = SetWinEventHook(EVENT_OBJECT_CREATE, EVENT_OBJECT_SHOW, nullptr, &created_windows::seen, pid, 0,
                                WINEVENT_OUTOFCONTEXT);
    }
    created_windows(const created_windows&) = delete;
    created_windows& operator=(const created_windows&) = delete;
    ~created_windows()
    {
        if (hook_)
            UnhookWinEvent(hook_);
        current() = nullptr;
    }
    bool hooked() const { return hook_ != nullptr; }
    bool saw(const std::wstring& caption) const
    {
        for (const auto& c : captions_)
            if (c == caption)
                return true;
        return false;
    }

private:
    static created_windows*& current()
    {
        static created_windows* instance = nullptr;
        return instance;
    }
    static void CALLBACK seen(HWINEVENTHOOK, DWORD, HWND window, LONG object, LONG, DWORD, DWORD)
    {
        if (object != OBJID_WINDOW || !window || !current())
            return;
        wchar_t text[256] = {};
        GetWindowTextW(window, text, 256);
        current()->captions_.push_back(text);
    }

    HWINEVENTHOOK hook_ = nullptr;
    std::vector<std::wstring> captions_;
};

// Waits until a window is gone (destroyed or hidden).
inline bool wait_gone(HWND window, DWORD ms = 15000)
{
    return wait_for([&] { return !IsWindow(window) || !IsWindowVisible(window); }, ms);
}

// Memory in the target process for the common controls' item structures.
class remote_buffer {
public:
    remote_buffer(HANDLE process, std::size_t size) : process_(process)
    {
        address_ = VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    }
    remote_buffer(const remote_buffer&) = delete;
    remote_buffer& operator=(const remote_buffer&) = delete;
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
    HTREEITEM item;
    std::wstring text;
    std::vector<std::pair<HTREEITEM, std::wstring>> children;

    std::vector<std::wstring> child_texts() const
    {
        std::vector<std::wstring> texts;
        for (const auto& child : children)
            texts.push_back(child.second);
        return texts;
    }
};

inline std::wstring tree_item_text(HANDLE process, HWND tree, HTREEITEM item)
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

inline HTREEITEM next_item(HWND tree, UINT relation, HTREEITEM from)
{
    return reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, relation, reinterpret_cast<LPARAM>(from)));
}

inline std::vector<tree_node> read_tree(HANDLE process, HWND tree)
{
    std::vector<tree_node> nodes;
    for (HTREEITEM item = next_item(tree, TVGN_ROOT, nullptr); item; item = next_item(tree, TVGN_NEXT, item)) {
        tree_node node{item, tree_item_text(process, tree, item), {}};
        for (HTREEITEM child = next_item(tree, TVGN_CHILD, item); child; child = next_item(tree, TVGN_NEXT, child))
            node.children.emplace_back(child, tree_item_text(process, tree, child));
        nodes.push_back(node);
    }
    return nodes;
}

// Selects a tree item as a click would (the tree notifies its parent).
inline void select_tree_item(HWND tree, HTREEITEM item)
{
    SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item));
}

// The client point of a tree item's [+]/[-] box, found by asking the tree what lies along the
// item's row; {-1, -1} when the item shows none.
inline POINT tree_button_point(HANDLE process, HWND tree, HTREEITEM item)
{
    remote_buffer buffer(process, 256);
    // TVM_GETITEMRECT takes the item in the rectangle's place.
    RECT row{};
    std::memcpy(&row, &item, sizeof(item));
    buffer.write(row);
    if (!SendMessageW(tree, TVM_GETITEMRECT, FALSE, reinterpret_cast<LPARAM>(buffer.at(0))))
        return {-1, -1};
    ReadProcessMemory(process, buffer.at(0), &row, sizeof(row), nullptr);
    for (LONG x = row.left; x < row.right; ++x) {
        TVHITTESTINFO hit{};
        hit.pt = {x, (row.top + row.bottom) / 2};
        buffer.write(hit);
        SendMessageW(tree, TVM_HITTEST, 0, reinterpret_cast<LPARAM>(buffer.at(0)));
        ReadProcessMemory(process, buffer.at(0), &hit, sizeof(hit), nullptr);
        if ((hit.flags & TVHT_ONITEMBUTTON) && hit.hItem == item)
            return hit.pt;
    }
    return {-1, -1};
}

// A real left click at a client point of a window: the cursor moves there and the button goes
// down and up through the system's input queue.
inline void click_at(HWND window, POINT point)
{
    ClientToScreen(window, &point);
    SetCursorPos(point.x, point.y);
    INPUT inputs[2]{};
    inputs[0].type = INPUT_MOUSE;
    inputs[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    inputs[1].type = INPUT_MOUSE;
    inputs[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(2, inputs, sizeof(INPUT));
}

inline std::vector<std::wstring> read_list(HANDLE process, HWND list)
{
    std::vector<std::wstring> rows;
    const int count = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    remote_buffer buffer(process, 4096);
    for (int i = 0; i < count; ++i) {
        LVITEMW query{};
        query.iSubItem = 0;
        query.pszText = reinterpret_cast<wchar_t*>(buffer.at(512));
        query.cchTextMax = 1000;
        buffer.write(query);
        SendMessageW(list, LVM_GETITEMTEXTW, i, reinterpret_cast<LPARAM>(buffer.at(0)));
        rows.push_back(buffer.read_text(512, 1000));
    }
    return rows;
}

// Sets or clears the selection of one row (-1: every row), as a click would.
inline void select_list_row(HANDLE process, HWND list, int row, bool selected)
{
    remote_buffer buffer(process, 256);
    LVITEMW state{};
    state.stateMask = LVIS_SELECTED;
    state.state = selected ? LVIS_SELECTED : 0;
    buffer.write(state);
    SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(buffer.at(0)));
}

inline std::vector<std::wstring> read_combo(HWND combo)
{
    std::vector<std::wstring> entries;
    const int count = static_cast<int>(SendMessageW(combo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        wchar_t text[256] = {};
        if (SendMessageW(combo, CB_GETLBTEXTLEN, i, 0) < 255)
            SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
        entries.push_back(text);
    }
    return entries;
}

// Makes a handler of the program's main window throw, in a copy of the program built with
// about_dialog_fault.cpp: the About command's handler then throws std::invalid_argument, and the
// report has this caption and text. (The About command's id, as in the program's resources.)
constexpr wchar_t thrown_caption[] = L"Oops... invalid argument error";
constexpr wchar_t thrown_text[] = L"DialogBoxParam failed for modal dialog, invalid parent.";

inline void make_main_window_throw(HWND main)
{
    constexpr WORD about_command = 1016;
    PostMessageW(main, WM_COMMAND, MAKEWPARAM(about_command, BN_CLICKED), 0);
}

// Presses a button (or any command) of a dialog or message box.
inline void press(HWND window, int command)
{
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(command, BN_CLICKED), 0);
}

inline std::vector<std::uint8_t> discovery_reply(std::uint32_t count, const std::wstring& name)
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

inline void send_datagram(const std::vector<std::uint8_t>& bytes)
{
    HANDLE slot = CreateFileW(reply_slot, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    ASSERT_NE(slot, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD written = 0;
    WriteFile(slot, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(slot);
}

// Waits until the reply mailslot of a started program exists.
inline bool wait_reply_slot()
{
    return wait_for(
        [] {
            HANDLE slot = CreateFileW(reply_slot, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
            if (slot == INVALID_HANDLE_VALUE)
                return false;
            CloseHandle(slot);
            return true;
        },
        20000);
}

inline void unregister_library()
{
    HMODULE module = LoadLibraryW(wharfcore_path().c_str());
    ASSERT_NE(module, nullptr);
    auto unreg = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllUnregisterServer")));
    ASSERT_NE(unreg, nullptr);
    unreg();
    FreeLibrary(module);
}

} // namespace panel_test
