#include <functional>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include "test_dialog.h"
#include "test_ids.h"
#include "wl/controls.h"
#include "wl/dialog.h"

namespace {

// The test dialog with its list wrapped, five rows, and records of what reached the dialog.
struct list_main : test_main {
    explicit list_main(std::function<bool(test_main&)> body) : test_main(std::move(body))
    {
        list.handlers.on_message(WM_KEYUP, [this](wl::params p) -> __int64 {
            ++key_ups;
            return DefSubclassProc(list.control, p.message, p.wParam, p.lParam);
        });
        handlers.on_message(WM_INITDIALOG, [this](wl::params) -> __int64 {
            list.assign(GetDlgItem(hwnd(), IDC_TEST_LIST));
            LVCOLUMNW column{};
            column.mask = LVCF_WIDTH | LVCF_TEXT;
            column.cx = 150;
            column.pszText = const_cast<wchar_t*>(L"Default");
            SendMessageW(list.control, LVM_INSERTCOLUMNW, 0, reinterpret_cast<LPARAM>(&column));
            for (int i = 0; i < 5; ++i) {
                wchar_t text[] = L"row 0";
                text[4] = static_cast<wchar_t>(L'0' + i);
                LVITEMW item{};
                item.mask = LVIF_TEXT;
                item.iItem = i;
                item.pszText = text;
                SendMessageW(list.control, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
            }
            PostMessageW(hwnd(), WM_APP, 0, 0);
            return 1;
        });
        // Every notification of the key that reaches the dialog, whoever sent it: the control's
        // own processing of Enter notifies LVN_KEYDOWN and NM_RETURN.
        handlers.on_notify(IDC_TEST_LIST, static_cast<UINT>(LVN_KEYDOWN), [this](wl::params p) -> __int64 {
            const auto* key = reinterpret_cast<const NMLVKEYDOWN*>(p.lParam);
            if (key->wVKey == VK_RETURN) {
                ++enter_notifications;
                well_formed_enter += key->flags == 0 && key->hdr.hwndFrom == list.control;
            }
            return 0;
        });
        handlers.on_notify(IDC_TEST_LIST, static_cast<UINT>(NM_RETURN), [this](wl::params) -> __int64 {
            ++enter_notifications;
            return 0;
        });
        handlers.on_command(IDOK, [this](wl::params) -> __int64 {
            ++ok_commands;
            return 0;
        });
    }

    void select(std::initializer_list<int> rows)
    {
        LVITEMW item{};
        item.stateMask = LVIS_SELECTED;
        SendMessageW(list.control, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&item));
        item.state = LVIS_SELECTED;
        for (int row : rows)
            SendMessageW(list.control, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&item));
    }

    wl::listview list;
    int key_ups = 0;
    int enter_notifications = 0;
    int well_formed_enter = 0; // LVN_KEYDOWN from the list with flags 0
    int ok_commands = 0;
};

void send_keys(std::initializer_list<std::pair<WORD, bool>> keys)
{
    std::vector<INPUT> inputs;
    for (auto [key, down] : keys) {
        INPUT in{};
        in.type = INPUT_KEYBOARD;
        in.ki.wVk = key;
        in.ki.wScan = static_cast<WORD>(MapVirtualKeyW(key, MAPVK_VK_TO_VSC));
        in.ki.dwFlags = down ? 0 : KEYEVENTF_KEYUP;
        inputs.push_back(in);
    }
    SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

// Runs the dialog's messages the way its loop does until done() or the time is up.
bool pump_until(HWND dialog, const std::function<bool()>& done, DWORD ms = 5000)
{
    const ULONGLONG until = GetTickCount64() + ms;
    while (!done()) {
        if (GetTickCount64() >= until)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (!IsDialogMessageW(dialog, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
        }
    }
    return true;
}

} // namespace

TEST(ListView, GetSelectedListsSelectedRowsAscending)
{
    std::vector<std::int64_t> none, some;
    list_main dialog([&](test_main& base) {
        auto& d = static_cast<list_main&>(base);
        none = d.list.get_selected();
        d.select({4, 0, 3});
        some = d.list.get_selected();
        return true;
    });
    EXPECT_EQ(dialog.run_loop(), 0);
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(some, (std::vector<std::int64_t>{0, 3, 4}));
}

TEST(ListView, CtrlASelectsAllRowsButAAloneDoesNot)
{
    std::vector<std::int64_t> after_a, after_ctrl_a;
    bool a_seen = false, ctrl_a_seen = false;
    list_main dialog([&](test_main& base) {
        auto& d = static_cast<list_main&>(base);
        SetForegroundWindow(d.hwnd());
        SetFocus(d.list.control);
        send_keys({{'A', true}, {'A', false}});
        a_seen = pump_until(d.hwnd(), [&] { return d.key_ups >= 1; });
        after_a = d.list.get_selected();
        send_keys({{VK_CONTROL, true}});
        pump_until(d.hwnd(), [] { return (GetAsyncKeyState(VK_CONTROL) & 0x8000) != 0; });
        send_keys({{'A', true}, {'A', false}});
        ctrl_a_seen = pump_until(d.hwnd(), [&] { return d.key_ups >= 2 && d.list.get_selected().size() == 5; });
        after_ctrl_a = d.list.get_selected();
        send_keys({{VK_CONTROL, false}});
        pump_until(d.hwnd(), [] { return (GetAsyncKeyState(VK_CONTROL) & 0x8000) == 0; });
        return true;
    });
    EXPECT_EQ(dialog.run_loop(SW_SHOW), 0);
    EXPECT_TRUE(a_seen);
    EXPECT_TRUE(ctrl_a_seen);
    // Type-ahead may move the focus to a row starting with 'a'; none does, so nothing is selected.
    EXPECT_TRUE(after_a.empty());
    EXPECT_EQ(after_ctrl_a, (std::vector<std::int64_t>{0, 1, 2, 3, 4}));
}

TEST(ListView, EnterNotifiesTheDialogOnceInsteadOfPressingTheDefaultButton)
{
    int notifications = 0, well_formed = 0, notifications_after_typed = 0, ok = 0;
    list_main dialog([&](test_main& base) {
        auto& d = static_cast<list_main&>(base);
        SetForegroundWindow(d.hwnd());
        SetFocus(d.list.control);
        // With a focused row the control's own processing of Enter would notify too.
        LVITEMW focus{};
        focus.stateMask = focus.state = LVIS_FOCUSED | LVIS_SELECTED;
        SendMessageW(d.list.control, LVM_SETITEMSTATE, 2, reinterpret_cast<LPARAM>(&focus));
        send_keys({{VK_RETURN, true}, {VK_RETURN, false}});
        pump_until(d.hwnd(), [&] { return d.key_ups >= 1; });
        notifications = d.enter_notifications;
        well_formed = d.well_formed_enter;
        ok = d.ok_commands;
        // The dialog manager asks about the typed character and the key going up as well: only
        // the key going down is the Enter key.
        for (UINT kind : {WM_CHAR, WM_KEYUP}) {
            MSG typed{d.list.control, kind, VK_RETURN, 0, 0, {}};
            SendMessageW(d.list.control, WM_GETDLGCODE, VK_RETURN, reinterpret_cast<LPARAM>(&typed));
        }
        // A question from anyone else, naming a key press that never happened or pointing
        // nowhere: neither is followed.
        const MSG forged{d.list.control, WM_KEYDOWN, VK_RETURN, 0, 0, {}};
        SendMessageW(d.list.control, WM_GETDLGCODE, VK_RETURN, reinterpret_cast<LPARAM>(&forged));
        for (WPARAM key : {WPARAM{VK_RETURN}, WPARAM{'A'}, WPARAM{VK_APPS}})
            SendMessageW(d.list.control, WM_GETDLGCODE, key, 0x10);
        notifications_after_typed = d.enter_notifications;
        return true;
    });
    EXPECT_EQ(dialog.run_loop(SW_SHOW), 0);
    EXPECT_EQ(notifications, 1);
    EXPECT_EQ(well_formed, 1);
    EXPECT_EQ(notifications_after_typed, 1);
    EXPECT_EQ(ok, 0);
}

TEST(ListView, RightClickWithoutMenuKeepsSelectionAndSkipsDefaultProcessing)
{
    std::vector<std::int64_t> after;
    LRESULT result = -1;
    list_main dialog([&](test_main& base) {
        auto& d = static_cast<list_main&>(base);
        d.select({1});
        RECT row{};
        row.left = LVIR_BOUNDS;
        SendMessageW(d.list.control, LVM_GETITEMRECT, 3, reinterpret_cast<LPARAM>(&row));
        result = SendMessageW(d.list.control, WM_RBUTTONDOWN, 0, MAKELPARAM(row.left + 5, row.top + 2));
        SendMessageW(d.list.control, WM_RBUTTONUP, 0, MAKELPARAM(row.left + 5, row.top + 2));
        after = d.list.get_selected();
        return true;
    });
    EXPECT_EQ(dialog.run_loop(), 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(after, (std::vector<std::int64_t>{1}));
}

TEST(ListView, SubclassIsRemovedWithTheWindowAndAssignmentMisuseThrows)
{
    std::string twice;
    list_main dialog([&](test_main& base) {
        auto& d = static_cast<list_main&>(base);
        EXPECT_EQ(d.list.handlers.hwnd, d.list.control);
        try {
            d.list.assign(d.list.control);
        } catch (const std::logic_error& e) {
            twice = e.what();
        }
        return true;
    });
    EXPECT_EQ(dialog.run_loop(), 0);
    EXPECT_EQ(twice, "Trying to assign or create a native control twice.");
    // The window is gone and unbound its wrapper; the wrapper's destructor has nothing to remove.
    EXPECT_EQ(dialog.list.handlers.hwnd, nullptr);

    wl::listview loose;
    try {
        loose.assign(nullptr);
        ADD_FAILURE();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Trying to install subclass on an empty control.");
    }
}

TEST(WindowText, EmptyAndSetTexts)
{
    std::wstring empty, set;
    test_main dialog([&](test_main& d) {
        HWND edit = GetDlgItem(d.hwnd(), IDC_TEST_EDIT);
        empty = wl::get_window_text(edit);
        SetWindowTextW(edit, L"COM7 \u2026");
        set = wl::get_window_text(edit);
        return true;
    });
    EXPECT_EQ(dialog.run_loop(), 0);
    EXPECT_EQ(empty, L"");
    EXPECT_EQ(set, L"COM7 \u2026");
}

TEST(WheelForwarding, WheelOverAnotherControlReachesItWithoutTheMark)
{
    if (wl::is_windows_version_or_greater(10))
        GTEST_SKIP() << "Windows 10 scrolls the control under the pointer itself";
    std::vector<std::uint64_t> reached_list;
    LRESULT edit_result = -1;
    list_main dialog([&](test_main& base) {
        auto& d = static_cast<list_main&>(base);
        RECT list_rect{};
        GetWindowRect(d.list.control, &list_rect);
        const LPARAM over_list = MAKELPARAM(list_rect.left + 10, list_rect.top + 10);
        // Sent to the edit (a tab stop) while the pointer is over the list.
        edit_result = SendMessageW(GetDlgItem(d.hwnd(), IDC_TEST_EDIT), WM_MOUSEWHEEL, MAKEWPARAM(0, WHEEL_DELTA), over_list);
        return true;
    });
    dialog.list.handlers.on_message(WM_MOUSEWHEEL, [&](wl::params p) -> __int64 {
        reached_list.push_back(p.wParam);
        return 0;
    });
    EXPECT_EQ(dialog.run_loop(), 0);
    EXPECT_EQ(edit_result, 0);
    ASSERT_EQ(reached_list.size(), 1u);
    EXPECT_EQ(reached_list[0], static_cast<std::uint64_t>(MAKEWPARAM(0, WHEEL_DELTA)));
}
