#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "test_dialog.h"
#include "test_ids.h"
#include "wl/dialog.h"

namespace {

struct test_modal : wl::dialog_modal {
    explicit test_modal(std::function<void(test_modal&)> on_init)
    {
        setup.dialogId = IDD_TEST_MODAL;
        handlers.on_message(WM_INITDIALOG, [this, on_init](wl::params) -> __int64 {
            on_init(*this);
            return 1;
        });
        handlers.on_command(2, [this](wl::params) -> __int64 {
            EndDialog(hwnd(), 2);
            return 1;
        });
    }
};

BOOL CALLBACK collect_child(HWND child, LPARAM list)
{
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
    return TRUE;
}

std::vector<HWND> children(HWND parent)
{
    std::vector<HWND> list;
    EnumChildWindows(parent, &collect_child, reinterpret_cast<LPARAM>(&list));
    return list;
}

} // namespace

TEST(DialogMain, ClosingTheWindowEndsTheLoopWithZero)
{
    test_main dialog([](test_main& d) {
        PostMessageW(d.hwnd(), WM_CLOSE, 0, 0);
        return false;
    });
    EXPECT_EQ(dialog.run_loop(), 0);
    EXPECT_EQ(dialog.hwnd(), nullptr);
}

TEST(DialogMain, LoopReturnsThePostedQuitCode)
{
    test_main dialog([](test_main&) {
        PostQuitMessage(-1);
        return false;
    });
    EXPECT_EQ(dialog.run_loop(), -1);
}

TEST(DialogMain, MisuseRaisesLogicErrors)
{
    test_main unset([](test_main&) { return true; });
    unset.setup.dialogId = 0;
    try {
        unset.run(GetModuleHandleW(nullptr), SW_SHOW);
        ADD_FAILURE();
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "No dialog resource ID given on this->setup.dialogId.");
    }

    std::string second_run;
    test_main dialog([&](test_main& d) {
        try {
            d.run(GetModuleHandleW(nullptr), SW_SHOW);
        } catch (const std::logic_error& e) {
            second_run = e.what();
        }
        return true;
    });
    EXPECT_EQ(dialog.run_loop(), 0);
    EXPECT_EQ(second_run, "Tried to create dialog twice.");
}

TEST(DialogMain, RunLeavesNothingBehindItsIconsNorAWindowWhoseSetupFailed)
{
    // The icons the window was given are destroyed once the loop has ended.
    HICON small_icon = nullptr, big_icon = nullptr;
    test_main with_icon([&](test_main& d) {
        small_icon = reinterpret_cast<HICON>(SendMessageW(d.hwnd(), WM_GETICON, ICON_SMALL, 0));
        big_icon = reinterpret_cast<HICON>(SendMessageW(d.hwnd(), WM_GETICON, ICON_BIG, 0));
        return true;
    });
    with_icon.setup.iconId = IDI_TEST_ICON;
    EXPECT_EQ(with_icon.run_loop(), 0);
    ASSERT_TRUE(small_icon);
    ASSERT_TRUE(big_icon);
    ICONINFO info{};
    EXPECT_FALSE(GetIconInfo(small_icon, &info));
    EXPECT_FALSE(GetIconInfo(big_icon, &info));

    // An accelerator table that cannot be loaded: the error, and the window made before is gone
    // without having run its handlers (no quit was posted).
    HWND made = nullptr;
    test_main failing([](test_main&) { return true; });
    failing.setup.acceleratorId = IDA_MISSING;
    failing.handlers.on_message(WM_INITDIALOG, [&](wl::params) -> __int64 {
        made = failing.hwnd();
        return 1;
    });
    try {
        failing.run(GetModuleHandleW(nullptr), SW_HIDE);
        ADD_FAILURE() << "run went on without its accelerators";
    } catch (const std::system_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("LoadAccelerators failed for main dialog", 0), 0u) << e.what();
    }
    ASSERT_TRUE(made);
    EXPECT_FALSE(IsWindow(made));
    EXPECT_EQ(failing.hwnd(), nullptr);
    MSG msg;
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
}

TEST(DialogProc, ForgedMessagesNeitherCrashNorRebindTheWindow)
{
    // Another dialog's object, never shown: a WM_INITDIALOG naming it must not bind it.
    bool other_initialised = false;
    test_modal other([&](test_modal&) { other_initialised = true; });
    int initialised = 0;
    HWND bound_to = nullptr;
    LONG_PTR user_slot = 0;
    test_main dialog([&](test_main& d) {
        const HWND window = d.hwnd();
        PostMessageW(window, WM_INITDIALOG, 0, reinterpret_cast<LPARAM>(static_cast<wl::wli::dialog_base*>(&other)));
        PostMessageW(window, WM_INITDIALOG, 0, reinterpret_cast<LPARAM>(static_cast<wl::wli::dialog_base*>(&d)));
        PostMessageW(window, WM_INITDIALOG, 0, 0);
        SendMessageW(window, WM_INITDIALOG, 0, 0);
        PostMessageW(window, WM_NOTIFY, 0, 0);
        SendMessageW(window, WM_NOTIFY, 0, 0);
        PostMessageW(window, WM_APP + 1, 0, 0);
        return false;
    });
    dialog.handlers.on_message(WM_INITDIALOG, [&](wl::params) -> __int64 {
        if (++initialised == 1)
            PostMessageW(dialog.hwnd(), WM_APP, 0, 0);
        return 1;
    });
    // Posted after the forged messages: they have all been handled by then.
    dialog.handlers.on_message(WM_APP + 1, [&](wl::params) -> __int64 {
        bound_to = dialog.hwnd();
        user_slot = GetWindowLongPtrW(dialog.hwnd(), DWLP_USER);
        DestroyWindow(dialog.hwnd());
        return 1;
    });
    EXPECT_EQ(dialog.run_loop(), 0);
    EXPECT_EQ(initialised, 1);
    EXPECT_NE(bound_to, nullptr);
    EXPECT_EQ(user_slot, reinterpret_cast<LONG_PTR>(static_cast<wl::wli::dialog_base*>(&dialog)));
    EXPECT_FALSE(other_initialised);
    EXPECT_EQ(other.hwnd(), nullptr);
}

TEST(DialogModal, ShowReturnsTheEndDialogResultAndCloseGivesOne)
{
    __int64 by_button = 0, by_close = 0;
    test_main dialog([&](test_main& d) {
        test_modal pressed([](test_modal& m) { PostMessageW(m.hwnd(), WM_COMMAND, MAKEWPARAM(2, BN_CLICKED), 0); });
        by_button = pressed.show(d.hwnd());
        test_modal closed([](test_modal& m) { PostMessageW(m.hwnd(), WM_CLOSE, 0, 0); });
        by_close = closed.show(d.hwnd());
        return true;
    });
    EXPECT_EQ(dialog.run_loop(), 0);
    EXPECT_EQ(by_button, 2);
    EXPECT_EQ(by_close, 1);
}

TEST(DialogFont, EveryControlOfEveryDialogGetsTheMenuFont)
{
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0));

    std::vector<HFONT> main_fonts, modal_fonts;
    std::vector<std::wstring> main_classes, modal_classes;
    auto class_of = [](HWND w) {
        wchar_t name[64] = {};
        GetClassNameW(w, name, 64);
        return std::wstring(name);
    };
    test_main dialog([&](test_main& d) {
        for (HWND child : children(d.hwnd())) {
            main_fonts.push_back(reinterpret_cast<HFONT>(SendMessageW(child, WM_GETFONT, 0, 0)));
            main_classes.push_back(class_of(child));
        }
        test_modal modal([&](test_modal& m) {
            for (HWND child : children(m.hwnd())) {
                modal_fonts.push_back(reinterpret_cast<HFONT>(SendMessageW(child, WM_GETFONT, 0, 0)));
                modal_classes.push_back(class_of(child));
            }
            PostMessageW(m.hwnd(), WM_CLOSE, 0, 0);
        });
        modal.show(d.hwnd());
        return true;
    });
    EXPECT_EQ(dialog.run_loop(), 0);

    const HFONT shared = wl::shared_dialog_font();
    ASSERT_NE(shared, nullptr);
    ASSERT_GE(main_fonts.size(), 5u); // a static, the list (and its header), two buttons, an edit
    ASSERT_GE(modal_fonts.size(), 2u);
    for (std::size_t i = 0; i < main_fonts.size(); ++i)
        EXPECT_EQ(main_fonts[i], shared) << std::string(main_classes[i].begin(), main_classes[i].end());
    for (std::size_t i = 0; i < modal_fonts.size(); ++i)
        EXPECT_EQ(modal_fonts[i], shared) << std::string(modal_classes[i].begin(), modal_classes[i].end());

    LOGFONTW made{};
    ASSERT_EQ(GetObjectW(shared, sizeof made, &made), static_cast<int>(sizeof made));
    EXPECT_EQ(std::wstring(made.lfFaceName), std::wstring(metrics.lfMenuFont.lfFaceName));
    EXPECT_EQ(made.lfHeight, metrics.lfMenuFont.lfHeight);
}

TEST(ComApartmentGuard, UninitialisesOnlyAfterSuccess)
{
    // Whether this thread itself is in the multithreaded apartment (not only beside one that
    // another thread keeps).
    const auto in_mta = [] {
        APTTYPE type{};
        APTTYPEQUALIFIER qualifier{};
        return SUCCEEDED(CoGetApartmentType(&type, &qualifier)) && type == APTTYPE_MTA &&
               qualifier == APTTYPEQUALIFIER_NONE;
    };
    {
        wl::com_apartment_guard guard(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        ASSERT_EQ(guard.result(), S_OK);
        {
            // A failed call (wrong mode) took no reference: its guard must give none back.
            wl::com_apartment_guard failed(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
            EXPECT_EQ(failed.result(), RPC_E_CHANGED_MODE);
        }
        EXPECT_TRUE(in_mta());
        {
            // S_FALSE is a success that took a reference: its guard gives it back.
            wl::com_apartment_guard again(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
            EXPECT_EQ(again.result(), S_FALSE);
        }
        EXPECT_TRUE(in_mta());
    }
    // The first guard gave back the last reference: the apartment is gone.
    EXPECT_FALSE(in_mta());
}
