#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "trellum/text_normalise.h"
#include "trellum/utf8.h"

namespace {

TEST(Utf8ToWide, AsciiAndMultiByteSequencesConvert)
{
    EXPECT_EQ(utf8_to_wide("Wharf 1.0"), L"Wharf 1.0");
    EXPECT_EQ(utf8_to_wide("\xC3\xA9"), std::wstring(1, L'\u00E9'));
    EXPECT_EQ(utf8_to_wide("\xE2\x80\xA6!"), L"\u2026!");
    EXPECT_EQ(utf8_to_wide(""), L"");
}

TEST(Utf8ToWide, FourByteSequenceBecomesSurrogatePair)
{
    const std::wstring wide = utf8_to_wide("a\xF0\x9F\x98\x80z"); // U+1F600
    ASSERT_EQ(wide.size(), 4u);
    EXPECT_EQ(wide[0], L'a');
    EXPECT_EQ(static_cast<unsigned>(wide[1]), 0xD83Du);
    EXPECT_EQ(static_cast<unsigned>(wide[2]), 0xDE00u);
    EXPECT_EQ(wide[3], L'z');
}

TEST(Utf8ToWide, IllFormedBytesBecomeReplacementCharacters)
{
    const std::wstring wide = utf8_to_wide("x\xFFy\xC3");
    ASSERT_GE(wide.size(), 3u);
    EXPECT_EQ(wide.front(), L'x');
    EXPECT_EQ(static_cast<unsigned>(wide[1]), 0xFFFDu);
    EXPECT_EQ(wide[2], L'y');
    EXPECT_EQ(static_cast<unsigned>(wide.back()), 0xFFFDu);
}

TEST(Utf8ToWide, EmbeddedNulIsKept)
{
    const std::wstring wide = utf8_to_wide(std::string_view("a\0b", 3));
    EXPECT_EQ(wide, std::wstring(L"a\0b", 3));
}

std::wstring collapsed(std::wstring text)
{
    collapse_whitespace(text);
    return text;
}

TEST(CollapseWhitespace, TrimsBothEnds)
{
    EXPECT_EQ(collapsed(L"  Access is denied.\r\n"), L"Access is denied.");
    EXPECT_EQ(collapsed(L"\tx"), L"x");
}

TEST(CollapseWhitespace, InnerRunKeepsItsFirstCharacter)
{
    EXPECT_EQ(collapsed(L"one \t two"), L"one two");
    EXPECT_EQ(collapsed(L"one\n two"), L"one\ntwo");
    EXPECT_EQ(collapsed(L"a\r\n\r\nb  c d"), L"a\rb c d");
}

TEST(CollapseWhitespace, EmptyAndBlankTextsBecomeEmpty)
{
    EXPECT_EQ(collapsed(L""), L"");
    EXPECT_EQ(collapsed(L" \t\r\n\v\f "), L"");
}

struct decimal_case {
    std::wstring text;
    bool ok;
    std::uint32_t value;
    std::size_t stop; // offset where begin is left on success
};

TEST(ReadDecimal, ReadsNumbersSkipsZerosAndRefusesOverflow)
{
    const decimal_case cases[] = {
        {L"255", true, 255, 3},
        {L"0004294967295", true, 4294967295u, 13},
        {L"4294967296", false, 0, 0},
        {L"42949672950", false, 0, 0},
        {L"x1", false, 0, 0},
        {L"", false, 0, 0},
        {L"00", true, 0, 2},
        {L"12,0,255", true, 12, 2},
        {L"429496729", true, 429496729u, 9},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "text '" << std::string(c.text.begin(), c.text.end()) << "'");
        std::uint32_t out = 777;
        auto begin = c.text.cbegin();
        const bool ok = read_decimal(begin, c.text.cend(), out);
        EXPECT_EQ(ok, c.ok);
        if (c.ok) {
            EXPECT_EQ(out, c.value);
            EXPECT_EQ(static_cast<std::size_t>(begin - c.text.cbegin()), c.stop);
        } else {
            EXPECT_EQ(out, 777u);
            EXPECT_EQ(begin, c.text.cbegin());
        }
    }
}

TEST(ReadDecimal, ReadsSuccessiveFieldsOfASetting)
{
    const std::wstring text = L"12,0,255";
    auto cursor = text.cbegin();
    std::uint32_t red = 0, green = 1, blue = 0;
    ASSERT_TRUE(read_decimal(cursor, text.cend(), red));
    ASSERT_EQ(*cursor++, L',');
    ASSERT_TRUE(read_decimal(cursor, text.cend(), green));
    ASSERT_EQ(*cursor++, L',');
    ASSERT_TRUE(read_decimal(cursor, text.cend(), blue));
    EXPECT_EQ(cursor, text.cend());
    EXPECT_EQ(red, 12u);
    EXPECT_EQ(green, 0u);
    EXPECT_EQ(blue, 255u);
}

} // namespace
