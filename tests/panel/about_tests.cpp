#include <gtest/gtest.h>

#include "about_dialog.h"

using panel::parse_anchor_color;
using rgb = std::array<std::uint32_t, 3>;

TEST(AboutBox, AnchorColorComponentsDefaultToZeroAndEmptyIsBlue)
{
    EXPECT_EQ(parse_anchor_color(L"255,0,0"), (rgb{255, 0, 0}));
    EXPECT_EQ(parse_anchor_color(L"0,0,255"), (rgb{0, 0, 255}));
    EXPECT_EQ(parse_anchor_color(L""), (rgb{0, 0, 255}));
    EXPECT_EQ(parse_anchor_color(L"12"), (rgb{12, 0, 0}));
    EXPECT_EQ(parse_anchor_color(L"12,"), (rgb{12, 0, 0}));
    EXPECT_EQ(parse_anchor_color(L"1,x,3"), (rgb{1, 0, 3}));
    EXPECT_EQ(parse_anchor_color(L" 1,2,3"), (rgb{0, 2, 3}));
    EXPECT_EQ(parse_anchor_color(L"4294967296,2,3"), (rgb{0, 2, 3}));
    EXPECT_EQ(parse_anchor_color(L"4294967295,2,3,9"), (rgb{4294967295u, 2, 3}));
}

TEST(AboutBox, TextShowsZeroFilledVersionAndLink)
{
    std::wstring text = panel::make_about_text(L"Velmor Software Tidewell", {45, 2, 1, 3});
    EXPECT_EQ(text.rfind(L"[[[b[[[s:120:Velmor Software Tidewell]]]]]]\nVersion 3.01.02.0045\n\n", 0), 0u) << text;
    EXPECT_NE(text.find(L"[[[hhttps://www.velmor-software.example/tidewell]]]\n"), std::wstring::npos) << text;
}
