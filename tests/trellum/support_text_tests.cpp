#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "trellum/text_normalise.h"
#include "trellum/utf8.h"

namespace {

TEST(Utf8ToWide, ConvertsOneTwoThreeAndFourByteSequences)
{
    EXPECT_EQ(utf8_to_wide("Wharf 1.0"), L"Wharf 1.0");
    EXPECT_EQ(utf8_to_wide("\xC3\xA9"), std::wstring(1, L'\u00E9'));
    EXPECT_EQ(utf8_to_wide("\xE2\x80\xA6"), L"\u2026");
    EXPECT_EQ(utf8_to_wide("a\xF0\x9F\x98\x80"), std::wstring(L"a\xD83D\xDE00")); // U+1F600
    EXPECT_EQ(utf8_to_wide(""), L"");
}

TEST(Utf8ToWide, IllFormedBytesBecomeReplacementCharacters)
{
    const std::wstring wide = utf8_to_wide("x\xFFy\xC3");
    ASSERT_GE(wide.size(), 4u);
    EXPECT_EQ(wide.substr(0, 3), L"x\xFFFDy");
    EXPECT_EQ(wide.back(), L'\xFFFD');
}

std::wstring collapsed(std::wstring text)
{
    collapse_whitespace(text);
    return text;
}

TEST(CollapseWhitespace, TrimsEndsAndKeepsFirstCharacterOfInnerRuns)
{
    EXPECT_EQ(collapsed(L"  Access is denied.\r\n"), L"Access is denied.");
    EXPECT_EQ(collapsed(L"one \t two"), L"one two");
    EXPECT_EQ(collapsed(L"one\n two"), L"one\ntwo");
    EXPECT_EQ(collapsed(L"a\r\n\r\nb  c d"), L"a\rb c d");
    EXPECT_EQ(collapsed(L""), L"");
    EXPECT_EQ(collapsed(L" \t\r\n\v\f "), L"");
}

TEST(ReadDecimal, ReadsNumbersSkipsZerosAndRefusesOverflow)
{
    struct {
        std::wstring text;
        bool ok;
        std::uint32_t value;
        std::size_t stop; // where begin is left on success
    } const cases[] = {
        {L"255", true, 255, 3},          {L"0004294967295", true, 4294967295u, 13},
        {L"4294967296", false, 0, 0},    {L"42949672950", false, 0, 0},
        {L"x1", false, 0, 0},            {L"", false, 0, 0},
        {L"00", true, 0, 2},             {L"12,0,255", true, 12, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        std::uint32_t out = 777;
        auto begin = c.text.cbegin();
        EXPECT_EQ(read_decimal(begin, c.text.cend(), out), c.ok);
        EXPECT_EQ(out, c.ok ? c.value : 777u);
        EXPECT_EQ(static_cast<std::size_t>(begin - c.text.cbegin()), c.ok ? c.stop : 0u);
    }
}

} // namespace
