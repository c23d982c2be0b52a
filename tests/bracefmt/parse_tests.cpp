#include <string>

#include <gtest/gtest.h>

#include "bracefmt/bracefmt.h"

using bracefmt::details::item;
using bracefmt::details::parse_format_string;
namespace flags = bracefmt::details::flags;

namespace {

TEST(FormatParser, ItemDefaultsAndLiteralRuns)
{
    const std::wstring fmt = L"ab{{c{3}d";
    bracefmt::details::parsed_format parsed;
    parse_format_string(fmt, parsed);
    ASSERT_EQ(parsed.count, 3u);
    const item& lit = parsed[0];
    EXPECT_EQ(lit.flags, flags::literal);
    EXPECT_EQ(std::wstring(lit.begin, lit.end), L"ab{{c");
    EXPECT_EQ(lit.doubled, 1);
    const item& it = parsed[1];
    EXPECT_EQ(it.flags, 0u);
    EXPECT_EQ(it.index, 3);
    EXPECT_EQ(it.align, bracefmt::details::align_left);
    EXPECT_EQ(it.min_width, 0);
    EXPECT_EQ(it.max_width, 0);
    EXPECT_EQ(it.fill, L' ');
    EXPECT_EQ(it.base, 10);
    EXPECT_EQ(parsed[2].doubled, 0);
}

TEST(FormatParser, OptionLettersSetTheirFields)
{
    const std::wstring fmt = L"{12+w5,9acf*elnsasup7t(x}y)b016xpc}";
    // "}" inside t( is an error, so build the case without it.
    bracefmt::details::parsed_format parsed;
    EXPECT_THROW(parse_format_string(fmt, parsed), bracefmt::bad_extended_format_string);
    const std::wstring good = L"{12+w5,9acf*elnsasup7t(x{y)b016xpc}";
    parse_format_string(good, parsed);
    ASSERT_EQ(parsed.count, 1u);
    const item& it = parsed[0];
    EXPECT_EQ(it.index, 12);
    EXPECT_EQ(it.min_width, 5);
    EXPECT_EQ(it.max_width, 9);
    EXPECT_EQ(it.align, bracefmt::details::align_centre);
    EXPECT_EQ(it.fill, L'*');
    EXPECT_EQ(it.precision, 7);
    EXPECT_EQ(it.base, 16);
    EXPECT_EQ(std::wstring(it.begin, it.end), L"x{y");
    EXPECT_EQ(it.flags, flags::plus_sign | flags::ellipsis | flags::grouping | flags::option_n | flags::option_sa |
                            flags::option_s | flags::as_unsigned | flags::text_option | flags::radix_prefix |
                            flags::lower_hex | flags::full_width | flags::character);
}

TEST(FormatParser, WidthFormsAndSkippedAlignmentLetter)
{
    auto one = [](const wchar_t* fmt) {
        bracefmt::details::parsed_format parsed;
        parse_format_string(fmt, parsed);
        return parsed[0];
    };
    EXPECT_EQ(one(L"{0w,4}").min_width, 0);
    EXPECT_EQ(one(L"{0w,4}").max_width, 4);
    EXPECT_EQ(one(L"{0w4}").max_width, 0);
    // Huge numbers stay at the 16-bit limit instead of wrapping.
    EXPECT_EQ(one(L"{0w70000}").min_width, 0xFFFF);
    EXPECT_EQ(one(L"{0b300}").base, 0xFF);
    // "a" with an unknown letter changes nothing, even when that letter is "}".
    EXPECT_EQ(one(L"{0arazw3}").align, bracefmt::details::align_right);
    EXPECT_EQ(one(L"{0a}}").align, bracefmt::details::align_left);
}

TEST(FormatParser, SectionKinds)
{
    bracefmt::details::parsed_format parsed;
    parse_format_string(L"{1?<}{1?|}{1?>}", parsed);
    ASSERT_EQ(parsed.count, 3u);
    EXPECT_EQ(parsed[0].flags, flags::open_section);
    EXPECT_EQ(parsed[1].flags, flags::else_section);
    EXPECT_EQ(parsed[2].flags, flags::close_section);
}

} // namespace
