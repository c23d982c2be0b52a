// The About command of wharfpanel.exe: the box opens modally over the main window, draws,
// and Close gives the main window back.
#include <windows.h>

#include <gtest/gtest.h>

#include "panel_automation.h"
#include "screenshot.h"
#include "wharfcore_under_test.h"

using namespace panel_test;

TEST(PanelAbout, AboutCommandShowsTheBoxOwnedByTheMainWindowUntilClosed)
{
    registered_wharfcore library;
    ASSERT_EQ(library.result(), S_OK);
    panel_process panel;
    ASSERT_TRUE(panel.started());
    HWND main = panel.find_window(main_caption);
    ASSERT_NE(main, nullptr);

    press(main, 1016);
    HWND box = panel.find_window(L"About Tidewell");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(GetWindow(box, GW_OWNER), main);
    EXPECT_FALSE(IsWindowEnabled(main)) << "the box must be modal";
    EXPECT_NE(GetDlgItem(box, 1017), nullptr);
    EXPECT_NE(GetDlgItem(box, 1018), nullptr);
    // The first frame reaches the screen a moment after the box appears.
    pump_and_sleep(2000);
    EXPECT_TRUE(save_screenshot(box, L"panel_about"));

    press(box, IDCANCEL);
    EXPECT_TRUE(wait_gone(box));
    EXPECT_TRUE(wait_for([&] { return IsWindowEnabled(main) != FALSE; }));
    PostMessageW(main, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(panel.wait_exit(10000), 0u);
}
