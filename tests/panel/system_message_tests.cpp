#include <gtest/gtest.h>

#include <cwctype>

#include "system_message.h"

TEST(SystemMessage, SystemTextIsTrimmedToOneLine)
{
    const std::wstring text = format_system_message(0x80070005u);
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.find(L"ccess"), std::wstring::npos) << text; // "Access denied." or "Access is denied."
    EXPECT_FALSE(std::iswspace(text.back())) << "trailing line break kept";
    EXPECT_FALSE(std::iswspace(text.front()));
    EXPECT_EQ(text.find(L"\r"), std::wstring::npos);
}

TEST(SystemMessage, UnknownCodeGivesEmptyText)
{
    EXPECT_EQ(format_system_message(0x8FFF1234u), L"");
}

TEST(SystemMessage, ConnectErrorShowsTextAndHresultInLowerCaseHex)
{
    EXPECT_EQ(format_connect_error(L"Class not registered", static_cast<long>(0x80040154L)),
              L"Error connecting to Tidewell Library: Class not registered (0x80040154)");
    EXPECT_EQ(format_connect_error(L"", static_cast<long>(0x8007000EL)),
              L"Error connecting to Tidewell Library:  (0x8007000e)");
}
