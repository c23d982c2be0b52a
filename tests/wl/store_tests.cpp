#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include "wl/store.h"

namespace {

using wl::params;
using store = wl::wli::window_store;

const char* const closed_text = "Can't add a message handler after the loop started.\n"
                                "This would be an unsafe operation, therefore it's explicitly forbidden.";

} // namespace

TEST(Store, LaterRegistrationForSameKeyWins)
{
    store s;
    std::vector<int> calls;
    s.on_message(WM_USER + 1, [&](params) -> __int64 { calls.push_back(1); return 10; });
    s.on_message(WM_USER + 1, [&](params) -> __int64 { calls.push_back(2); return 20; });
    s.on_command(1005, [&](params) -> __int64 { calls.push_back(3); return 30; });
    s.on_command(1005, [&](params) -> __int64 { calls.push_back(4); return 40; });

    EXPECT_EQ(s.dispatch(WM_USER + 1, 0, 0), std::make_pair(true, static_cast<__int64>(20)));
    EXPECT_EQ(s.dispatch(WM_COMMAND, 1005, 0), std::make_pair(true, static_cast<__int64>(40)));
    EXPECT_EQ(calls, (std::vector<int>{2, 4}));
}

TEST(Store, CommandKeyIsLowWordWhateverTheNotificationCode)
{
    store s;
    std::vector<params> seen;
    s.on_command(1005, [&](params p) -> __int64 { seen.push_back(p); return 0; });

    EXPECT_TRUE(s.dispatch(WM_COMMAND, MAKEWPARAM(1005, BN_CLICKED), 77).first);
    EXPECT_TRUE(s.dispatch(WM_COMMAND, MAKEWPARAM(1005, EN_CHANGE), 0).first);
    EXPECT_FALSE(s.dispatch(WM_COMMAND, MAKEWPARAM(1006, BN_CLICKED), 0).first);
    // The handler sees the whole message.
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].message, unsigned{WM_COMMAND});
    EXPECT_EQ(seen[0].wParam, MAKEWPARAM(1005, BN_CLICKED));
    EXPECT_EQ(seen[0].lParam, 77);
    EXPECT_EQ(seen[1].wParam, MAKEWPARAM(1005, EN_CHANGE));
}

TEST(Store, NotificationNeedsBothControlIdAndCode)
{
    store s;
    int calls = 0;
    s.on_notify(1007, LVN_ITEMCHANGED, [&](params) -> __int64 { ++calls; return 5; });

    NMHDR match{nullptr, 1007, static_cast<UINT>(LVN_ITEMCHANGED)};
    NMHDR other_code{nullptr, 1007, static_cast<UINT>(LVN_KEYDOWN)};
    NMHDR other_id{nullptr, 1001, static_cast<UINT>(LVN_ITEMCHANGED)};
    EXPECT_EQ(s.dispatch(WM_NOTIFY, 1007, reinterpret_cast<LPARAM>(&match)), std::make_pair(true, static_cast<__int64>(5)));
    EXPECT_FALSE(s.dispatch(WM_NOTIFY, 1007, reinterpret_cast<LPARAM>(&other_code)).first);
    EXPECT_FALSE(s.dispatch(WM_NOTIFY, 1001, reinterpret_cast<LPARAM>(&other_id)).first);
    EXPECT_EQ(calls, 1);
}

TEST(Store, KeyZeroWithoutHandlerIsNotHandledDespiteSentinel)
{
    store s;
    s.on_message(WM_USER, [](params) -> __int64 { return 1; });
    EXPECT_FALSE(s.dispatch(WM_NULL, 0, 0).first);
    EXPECT_FALSE(s.dispatch(WM_COMMAND, 0, 0).first);
    NMHDR zero{nullptr, 0, 0};
    EXPECT_FALSE(s.dispatch(WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&zero)).first);
}

TEST(Store, AddForwardsEveryFurtherIdToTheOneHandler)
{
    store s;
    std::vector<params> seen;
    s.add({1010, 1011, 1010, 1012}, [&](params p) -> __int64 { seen.push_back(p); return 9; });

    EXPECT_EQ(s.dispatch(WM_COMMAND, MAKEWPARAM(1011, BN_CLICKED), 3), std::make_pair(true, static_cast<__int64>(9)));
    EXPECT_EQ(s.dispatch(WM_COMMAND, 1012, 0), std::make_pair(true, static_cast<__int64>(9)));
    EXPECT_EQ(s.dispatch(WM_COMMAND, 1010, 0), std::make_pair(true, static_cast<__int64>(9)));
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].wParam, MAKEWPARAM(1011, BN_CLICKED));
    EXPECT_EQ(seen[0].lParam, 3);
}

TEST(Store, AddedHandlerIsOverriddenByLaterRegistration)
{
    store s;
    s.add({7, 7, 8}, [](params) -> __int64 { return 1; });
    s.on_command(7, [](params) -> __int64 { return 2; });
    // 8 forwards to the first entry of the add, not to the newer handler of 7.
    EXPECT_EQ(s.dispatch(WM_COMMAND, 7, 0).second, 2);
    EXPECT_EQ(s.dispatch(WM_COMMAND, 8, 0).second, 1);
}

TEST(Store, RegistrationAfterFirstDispatchThrowsAndLeavesStoreUnchanged)
{
    store s;
    EXPECT_TRUE(s.is_open());
    s.dispatch(WM_USER, 0, 0);
    EXPECT_FALSE(s.is_open());

    auto expect_closed = [&](auto&& registration) {
        try {
            registration();
            ADD_FAILURE() << "registration was accepted";
        } catch (const std::logic_error& e) {
            EXPECT_STREQ(e.what(), closed_text);
        }
    };
    expect_closed([&] { s.on_message(WM_USER, [](params) -> __int64 { return 1; }); });
    expect_closed([&] { s.on_command(5, [](params) -> __int64 { return 1; }); });
    expect_closed([&] { s.on_notify(5, 6, [](params) -> __int64 { return 1; }); });
    expect_closed([&] { s.add({5, 6}, [](params) -> __int64 { return 1; }); });

    EXPECT_FALSE(s.dispatch(WM_USER, 0, 0).first);
    EXPECT_FALSE(s.dispatch(WM_COMMAND, 5, 0).first);
}
