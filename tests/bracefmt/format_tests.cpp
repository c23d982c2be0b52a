#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "bracefmt/bracefmt.h"
#include "bracefmt/integer.h"

using bracefmt::format;

namespace {

const long busy_hresult = static_cast<long>(0x800704C7UL);

TEST(FormatLiterals, DoubledBraceIsOneBraceAndLoneClosingBraceIsCopied)
{
    EXPECT_EQ(format(L"{{0}"), L"{0}");
    EXPECT_EQ(format(L"a}b{{{{c"), L"a}b{{c");
    EXPECT_EQ(format(L"x{{{0}y", 5u), L"x{5y");
    EXPECT_EQ(format(L""), L"");
}

TEST(FormatLiterals, AppendingFormKeepsExistingText)
{
    std::wstring out = L"port ";
    format(out, L"COM{0}", 7u);
    EXPECT_EQ(out, L"port COM7");
}

TEST(FormatWidths, FillAndAlignmentPadToMinimumWidth)
{
    EXPECT_EQ(format(L"{0w4arf0}", 7u), L"0007");
    EXPECT_EQ(format(L"{0w4ac}", 7u), L" 7  ");
    EXPECT_EQ(format(L"[{0w5}]", 42u), L"[42   ]");
    EXPECT_EQ(format(L"{0w5ar}", std::wstring(L"ab")), L"   ab");
    EXPECT_EQ(format(L"{0w3f}}", 1u), L"1}}");
    EXPECT_EQ(format(L"{0w2}", 12345u), L"12345");
}

TEST(FormatWidths, MaximumWidthCutsWithOrWithoutEllipsis)
{
    const std::wstring text = L"abcdef";
    EXPECT_EQ(format(L"{0w,3e}", text), L"ab\u2026");
    EXPECT_EQ(format(L"{0w,3ear}", text), L"\u2026ef");
    EXPECT_EQ(format(L"{0w,3}", text), L"abc");
    EXPECT_EQ(format(L"{0w,3ar}", text), L"def");
    EXPECT_EQ(format(L"{0w,3ac}", text), L"abc");
    EXPECT_EQ(format(L"{0w,6e}", text), L"abcdef");
    // The minimum width wins when the text is shorter than it.
    EXPECT_EQ(format(L"{0w8,3e}", text), L"abcdef  ");
}

TEST(FormatIntegers, BasesAndRadixPrefix)
{
    EXPECT_EQ(format(L"{0b2}", 5u), L"101");
    EXPECT_EQ(format(L"{0b8}", 64u), L"100");
    EXPECT_EQ(format(L"{0b16}", 0xBEEFu), L"BEEF");
    EXPECT_EQ(format(L"{0b16x}", 0xBEEFu), L"beef");
    EXPECT_EQ(format(L"{0b16X}", 0xBEEFu), L"BEEF");
    EXPECT_EQ(format(L"{0b016}", 0xBEEFu), L"0XBEEF");
    EXPECT_EQ(format(L"{0b016x}", 0xBEEFu), L"0xbeef");
    EXPECT_EQ(format(L"{0b16p}", 0xBEEFu), L"0000BEEF");
    // Any base other than 2, 8, 10 and 16 converts as 16.
    EXPECT_EQ(format(L"{0b0}", 255u), L"0XFF");
    EXPECT_EQ(format(L"{0b7}", 255u), L"FF");
    EXPECT_EQ(format(L"{0b2}", 0u), L"0");
}

TEST(FormatIntegers, HresultInFullWidthLowerHex)
{
    EXPECT_EQ(format(L"{1ub016xp}", 0u, busy_hresult), L"0x800704c7");
    EXPECT_EQ(format(L"{1ub016xp}", 0u, 0L), L"00000000");
    EXPECT_EQ(format(L"{0ub016xp}", 0x2AL), L"0x0000002a");
    // Without u an HRESULT is signed.
    EXPECT_EQ(format(L"{0}", busy_hresult), L"-2147023673");
}

TEST(FormatIntegers, SignedValuesGetSignsAndUnsignedFlagTakesTheBits)
{
    EXPECT_EQ(format(L"{0+}", 5), L"+5");
    EXPECT_EQ(format(L"{0+}", -5), L"-5");
    EXPECT_EQ(format(L"{0+}", 0), L"+0");
    EXPECT_EQ(format(L"{0}", -2147483647 - 1), L"-2147483648");
    EXPECT_EQ(format(L"{0u}", -1), L"4294967295");
    EXPECT_EQ(format(L"{0ub16}", -1), L"FFFFFFFF");
    EXPECT_EQ(format(L"{0b16}", -255), L"-FF");
    EXPECT_EQ(format(L"{0w4arf0}", -7), L"00-7");
    // Unsigned arguments never get a plus sign.
    EXPECT_EQ(format(L"{0+}", 5u), L"5");
}

TEST(FormatIntegers, CharacterOption)
{
    EXPECT_EQ(format(L"{0c}{1c}{2c}", 0x41u, 0x42, 0x43L), L"ABC");
    EXPECT_EQ(format(L"{0cw3ar}", 0x2194u), L"  \u2194");
}

TEST(FormatIntegers, SixtyFourBitValues)
{
    EXPECT_EQ(format(L"{0}", 18446744073709551615ull), L"18446744073709551615");
    EXPECT_EQ(format(L"{0b16xp}", 0x1234ull), L"0000000000001234");
    EXPECT_EQ(format(L"{0b2}", 1ull << 63), L"1" + std::wstring(63, L'0'));
    EXPECT_EQ(format(L"{0l}", 18446744073709551615ull), L"18,446,744,073,709,551,615");
}

TEST(FormatIntegers, GroupingUsesTheLocaleSeparator)
{
    // No test of this program changes the global locale: the classic one separates with ",".
    ASSERT_EQ(bracefmt::details::thousands_separator(), L',');
    EXPECT_EQ(format(L"{0l}", 1234567u), L"1,234,567");
    EXPECT_EQ(format(L"{0l}", 123u), L"123");
    EXPECT_EQ(format(L"{0l}", 1000u), L"1,000");
    EXPECT_EQ(format(L"{0l}", -123456), L"-123,456");
    EXPECT_EQ(format(L"{0lb16}", 0x123456u), L"123456");
}

TEST(FormatArguments, MissingIndexGivesEmptyTextStillPadded)
{
    EXPECT_EQ(format(L"[{2}]", 1u, 2u), L"[]");
    EXPECT_EQ(format(L"[{2w3ff}]", 1u, 2u), L"[fff]");
    EXPECT_EQ(format(L"[{0}]"), L"[]");
    EXPECT_EQ(format(L"[{65535}{99999}]", 1u), L"[]");
}

TEST(FormatArguments, LongFormatStringsWithManyItemsKeepEveryItem)
{
    // More items than fit beside the call; the parsed items move to the heap part-way.
    std::wstring fmt, expected;
    for (unsigned i = 0; i < 40; ++i) {
        fmt += L"-{" + std::to_wstring(i % 3) + L"}{{";
        expected += L"-" + std::to_wstring(i % 3 + 10) + L"{";
    }
    EXPECT_EQ(format(std::as_const(fmt), 10u, 11u, 12u), expected);
    EXPECT_EQ(format(std::wstring(100, L'{')), std::wstring(50, L'{'));
    // Text and padding longer than what a call collects before it appends to the string.
    const std::wstring long_text(1000, L'x');
    EXPECT_EQ(format(L"<{0}|{1w300arf.}|{2w300}>", long_text, 7u, std::wstring(L"ab")),
              L"<" + long_text + L"|" + std::wstring(299, L'.') + L"7|ab" + std::wstring(298, L' ') + L">");
}

TEST(FormatArguments, StringKinds)
{
    const wchar_t buffer[16] = L"host";
    const wchar_t* null_text = nullptr;
    EXPECT_EQ(format(L"{0}|{1}|{2}|{3}|{4}", std::wstring(L"a"), std::wstring_view(L"bcd", 2), L"lit",
                     buffer, null_text),
              L"a|bc|lit|host|");
    EXPECT_EQ(format(L"{1}{0}{1}", std::wstring(L"-"), 1u), L"1-1");
}

TEST(FormatSections, TrueShowsAndFalseHidesTheSection)
{
    EXPECT_EQ(format(L"COM{0}{1?<} (in use){1?>}", 3u, true), L"COM3 (in use)");
    EXPECT_EQ(format(L"COM{0}{1?<} (in use){1?>}", 3u, false), L"COM3");
    EXPECT_EQ(format(L"{0}{1?<} [connected to COM{2}]{1?>}", std::wstring(L"Port A"), true, 5u),
              L"Port A [connected to COM5]");
    EXPECT_EQ(format(L"{0}{1?<} [connected to COM{2}]{1?>}", std::wstring(L"Port A"), false, 5u), L"Port A");
}

TEST(FormatSections, ElseInvertsTheInnermostSection)
{
    EXPECT_EQ(format(L"{0?<}yes{0?|}no{0?>}!", true), L"yes!");
    EXPECT_EQ(format(L"{0?<}yes{0?|}no{0?>}!", false), L"no!");
}

TEST(FormatSections, NestedSectionsNeedEveryStateTrue)
{
    const wchar_t* fmt = L"<{0?<}a{1?<}b{1?|}c{1?>}d{0?>}>";
    EXPECT_EQ(format(fmt, true, true), L"<abd>");
    EXPECT_EQ(format(fmt, true, false), L"<acd>");
    EXPECT_EQ(format(fmt, false, true), L"<>");
    EXPECT_EQ(format(fmt, false, false), L"<>");
    // A padded item inside a hidden section writes nothing, not even fill.
    EXPECT_EQ(format(L"{0?<}{1w5}{2w3}{0?>}.", false, 1u), L".");
}

TEST(FormatSections, EightLevelsWorkAndANinthRaisesWithoutOutput)
{
    const std::wstring eight = L"{0?<}{0?<}{0?<}{0?<}{0?<}{0?<}{0?<}{0?<}x{0?>}{0?>}{0?>}{0?>}{0?>}{0?>}{0?>}{0?>}";
    EXPECT_EQ(format(eight, true), L"x");
    std::wstring out = L"keep";
    EXPECT_THROW(format(out, L"a{0?<}{0?<}{0?<}{0?<}{0?<}{0?<}{0?<}{0?<}{0?<}b", true),
                 bracefmt::bad_extended_format_string);
    EXPECT_EQ(out, L"keep");
    // Also when much text was written before the ninth level.
    EXPECT_THROW(format(out, L"{1}{0?<}{0?<}{0?<}{0?<}{0?<}{0?<}{0?<}{0?<}{0?<}b", true, std::wstring(700, L'y')),
                 bracefmt::bad_extended_format_string);
    EXPECT_EQ(out, L"keep");
}

TEST(FormatSections, UnbalancedClosesAndNonBoolSectionItemsDoNotBreakOutput)
{
    EXPECT_EQ(format(L"a{0?>}{0?|}b", true), L"ab");
    // Other argument types ignore the section options and are written as plain items.
    EXPECT_EQ(format(L"{0?<}x{1?<}", 3u, false), L"3x");
    EXPECT_EQ(format(L"{1?<}{0?<}x{1?>}y", 3u, false), L"y");
}

TEST(FormatSystemStrings, MessagesPathsAndVersions)
{
    EXPECT_EQ(format(L"Error creating device: {0} ({1ub016xp})", std::wstring(L"Access is denied."),
                     static_cast<long>(0x80070005UL)),
              L"Error creating device: Access is denied. (0x80070005)");
    EXPECT_EQ(format(L"Version {1}.{2w2arf0}.{3w2arf0}.{4w4arf0}", std::wstring(L"Tidewell"), 3u, 1u, 2u, 45u),
              L"Version 3.01.02.0045");
    EXPECT_EQ(format(L"\\\\.\\mailslot\\{0}", std::wstring(L"slot")), L"\\\\.\\mailslot\\slot");
    EXPECT_EQ(format(L"\\\\{0}\\mailslot\\{1}", L"*", L"name"), L"\\\\*\\mailslot\\name");
    EXPECT_EQ(format(L"COM{0} \u2194 {1}: COM{2}", 7u, std::wstring_view(L"Sxyz", 1), 3u), L"COM7 \u2194 S: COM3");
    EXPECT_EQ(format(L"{0}{1}", std::wstring(L"https://h"), std::wstring(L"/p")), L"https://h/p");
}

TEST(FormatBadStrings, RaiseAndAppendNothing)
{
    const wchar_t* bad[] = {
        L"x{0q}",     // unknown letter
        L"x{0?x}",    // unknown section kind
        L"x{0t(abc}", // t( without ")", "}" inside
        L"x{0t(abc",  // t( running to the end
        L"x{0tabc)}", // t not followed by "("
        L"x{0",       // unclosed item
        L"x{",        // lone brace at the end
        L"x{0w4",     // unclosed after options
        L"x{0f",      // fill character missing
        L"x{0a",      // alignment letter missing
        L"x{0?",      // section kind missing
        L"x{0 }",     // space is no option
        L"x{0x}",     // x only after base 16
        L"x{0\u00e9}", // outside the option range
    };
    for (const wchar_t* fmt : bad) {
        std::wstring out = L"keep";
        EXPECT_THROW(format(out, fmt, 1u), bracefmt::bad_extended_format_string) << testing::PrintToString(std::wstring(fmt));
        EXPECT_EQ(out, L"keep");
    }
    // A bad item after much good text: the text written before it is taken back.
    std::wstring out = L"keep";
    EXPECT_THROW(format(out, std::wstring(700, L'z') + L"{0}{0q}", 1u), bracefmt::bad_extended_format_string);
    EXPECT_EQ(out, L"keep");
}

TEST(FormatBadStrings, UnclosedItemStopsAtTheEndOfAShorterView)
{
    // The view ends inside the item; the characters after it must not be read.
    const std::wstring full = L"{0}{0w3}";
    EXPECT_THROW(format(std::wstring_view(full.data(), 6), 1u), bracefmt::bad_extended_format_string);
    EXPECT_EQ(format(std::wstring_view(full.data(), 3), 1u), L"1");
}

TEST(FormatBadStrings, ErrorIsABraceFormatExceptionNotAStandardOne)
{
    static_assert(std::is_base_of_v<bracefmt::generic_exception, bracefmt::bad_extended_format_string>);
    static_assert(!std::is_base_of_v<std::exception, bracefmt::bad_extended_format_string>);
    static_assert(!std::is_polymorphic_v<bracefmt::bad_extended_format_string>);
    EXPECT_THROW(format(L"{0q}"), bracefmt::generic_exception);
}

} // namespace
