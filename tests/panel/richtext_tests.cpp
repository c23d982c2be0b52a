#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "richtext.h"

namespace {

void expect_range(const richtext_range& r, std::uint32_t start, std::uint32_t length, wchar_t tag,
                  std::uint32_t argument)
{
    EXPECT_EQ(r.start, start);
    EXPECT_EQ(r.length, length);
    EXPECT_EQ(r.tag, tag);
    EXPECT_EQ(r.argument, argument);
}

TEST(RichtextParse, PlainTextStaysAsItIs)
{
    const auto m = richtext_parse(L"Hello, world\nsecond line [x] ]] [[");
    EXPECT_EQ(m.text, L"Hello, world\nsecond line [x] ]] [[");
    EXPECT_TRUE(m.ranges.empty());
    EXPECT_TRUE(richtext_parse(L"").text.empty());
}

TEST(RichtextParse, NestedElementsCloseInnerFirst)
{
    const auto m = richtext_parse(L"[[[b[[[s:120:X]]]]]]");
    EXPECT_EQ(m.text, L"X");
    ASSERT_EQ(m.ranges.size(), 2u);
    expect_range(m.ranges[0], 0, 1, L's', 120);
    expect_range(m.ranges[1], 0, 1, L'b', 0);

    const auto t = richtext_parse(L"ab[[[bcd[[[ief]]]g]]]h");
    EXPECT_EQ(t.text, L"abcdefgh");
    ASSERT_EQ(t.ranges.size(), 2u);
    expect_range(t.ranges[0], 4, 2, L'i', 0);
    expect_range(t.ranges[1], 2, 5, L'b', 0);
}

TEST(RichtextParse, UnderlineRangeCountsOutputPositions)
{
    const auto m = richtext_parse(L"a[[[ub]]]c");
    EXPECT_EQ(m.text, L"abc");
    ASSERT_EQ(m.ranges.size(), 1u);
    expect_range(m.ranges[0], 1, 1, L'u', 0);
}

TEST(RichtextParse, ArgumentRules)
{
    // A minus sign is skipped: the size is positive.
    auto m = richtext_parse(L"[[[s:-50:x]]]");
    EXPECT_EQ(m.text, L"x");
    ASSERT_EQ(m.ranges.size(), 1u);
    expect_range(m.ranges[0], 0, 1, L's', 50);

    // "::" right after the tag is text, not an argument.
    m = richtext_parse(L"[[[s::y]]]");
    EXPECT_EQ(m.text, L"::y");
    ASSERT_EQ(m.ranges.size(), 1u);
    expect_range(m.ranges[0], 0, 3, L's', 0);

    // Exactly one character after the digits is skipped, whatever it is.
    m = richtext_parse(L"[[[s:80Xz]]]");
    EXPECT_EQ(m.text, L"z");
    expect_range(m.ranges.at(0), 0, 1, L's', 80);

    // A size without an argument has argument 0.
    m = richtext_parse(L"[[[sw]]]");
    expect_range(m.ranges.at(0), 0, 1, L's', 0);

    // An argument at the very end consumes no more than is there.
    m = richtext_parse(L"[[[s:12");
    EXPECT_EQ(m.text, L"");
    EXPECT_TRUE(m.ranges.empty());
}

TEST(RichtextParse, UnknownTagKeepsContent)
{
    const auto m = richtext_parse(L"1[[[qplain]]]2");
    EXPECT_EQ(m.text, L"1plain2");
    ASSERT_EQ(m.ranges.size(), 1u);
    EXPECT_EQ(m.ranges[0].tag, L'q');
}

TEST(RichtextParse, UnclosedElementsGetNoRange)
{
    auto m = richtext_parse(L"[[[bxyz");
    EXPECT_EQ(m.text, L"xyz");
    EXPECT_TRUE(m.ranges.empty());

    m = richtext_parse(L"[[[b[[[iab]]]cd");
    EXPECT_EQ(m.text, L"abcd");
    ASSERT_EQ(m.ranges.size(), 1u);
    expect_range(m.ranges[0], 0, 2, L'i', 0);
}

TEST(RichtextParse, CloseWithNothingOpenIsText)
{
    auto m = richtext_parse(L"a]]]b");
    EXPECT_EQ(m.text, L"a]]]b");
    EXPECT_TRUE(m.ranges.empty());

    // An extra close after a balanced element does not pop past the outermost level.
    m = richtext_parse(L"[[[bx]]]]]][[[iy]]]");
    EXPECT_EQ(m.text, L"x]]]y");
    ASSERT_EQ(m.ranges.size(), 2u);
    expect_range(m.ranges[0], 0, 1, L'b', 0);
    expect_range(m.ranges[1], 4, 1, L'i', 0);
}

TEST(RichtextParse, OpenMarkAtEndRaisesOutOfRange)
{
    for (const wchar_t* input : {L"[[[", L"text[[[", L"[[[bx]]][[["}) {
        try {
            richtext_parse(input);
            ADD_FAILURE() << "no exception";
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), "invalid string_view position");
        }
    }
}

// ---- layout with a real DirectWrite factory -------------------------------------------------

// Stands in for the link brush: any object can be a drawing effect.
struct effect final : IUnknown {
    ULONG count = 1;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (iid == __uuidof(IUnknown)) {
            *out = this;
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++count; }
    ULONG STDMETHODCALLTYPE Release() override { return --count; }
};

class RichtextLayout : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(DWriteCreateFactory(DWRITE_FACTORY_TYPE_SHARED, __uuidof(IDWriteFactory),
                                      reinterpret_cast<IUnknown**>(&factory)),
                  S_OK);
        format = make_format(L"Tahoma");
    }
    void TearDown() override
    {
        if (format)
            format->Release();
        if (factory)
            factory->Release();
    }
    IDWriteTextFormat* make_format(const wchar_t* family)
    {
        IDWriteTextFormat* f = nullptr;
        EXPECT_EQ(factory->CreateTextFormat(family, nullptr, DWRITE_FONT_WEIGHT_NORMAL, DWRITE_FONT_STYLE_NORMAL,
                                            DWRITE_FONT_STRETCH_NORMAL, 12.0f, L"en-us", &f),
                  S_OK);
        return f;
    }

    IDWriteFactory* factory = nullptr;
    IDWriteTextFormat* format = nullptr;
    effect brush;
};

TEST_F(RichtextLayout, RangesAreFormatted)
{
    auto result = richtext_build_layout(factory, L"a[[[bB]]][[[iI]]][[[uU]]][[[s:200:S]]][[[hH]]]z", format, 400.0f,
                                        100.0f, &brush);
    IDWriteTextLayout* layout = result.layout();
    ASSERT_NE(layout, nullptr);

    DWRITE_FONT_WEIGHT weight{};
    layout->GetFontWeight(1, &weight);
    EXPECT_EQ(weight, DWRITE_FONT_WEIGHT_BOLD);
    layout->GetFontWeight(0, &weight);
    EXPECT_EQ(weight, DWRITE_FONT_WEIGHT_NORMAL);
    DWRITE_FONT_STYLE style{};
    layout->GetFontStyle(2, &style);
    EXPECT_EQ(style, DWRITE_FONT_STYLE_ITALIC);
    BOOL underline = FALSE;
    layout->GetUnderline(3, &underline);
    EXPECT_TRUE(underline);
    layout->GetUnderline(6, &underline);
    EXPECT_FALSE(underline);
    float size = 0;
    layout->GetFontSize(4, &size);
    EXPECT_FLOAT_EQ(size, 24.0f);
    layout->GetFontSize(0, &size);
    EXPECT_FLOAT_EQ(size, 12.0f);

    layout->GetUnderline(5, &underline);
    EXPECT_TRUE(underline);
    IUnknown* drawing = nullptr;
    layout->GetDrawingEffect(5, &drawing);
    EXPECT_EQ(drawing, &brush);
    if (drawing)
        drawing->Release();
    ASSERT_EQ(result.links().size(), 1u);
    EXPECT_EQ(result.links()[0].size(), 1u);
}

TEST_F(RichtextLayout, WrappedLinkHasOneRectanglePerLine)
{
    auto result = richtext_build_layout(factory, L"Go to [[[hthe home page of Velmor]]] now", format, 120.0f,
                                        200.0f, &brush);
    ASSERT_NE(result.layout(), nullptr);
    ASSERT_EQ(result.links().size(), 1u);
    const richtext_link& link = result.links()[0];
    ASSERT_EQ(link.size(), 2u);
    EXPECT_LT(link[0].top, link[1].top);
    EXPECT_GT(link[0].width, 0.0f);
    EXPECT_GT(link[1].width, 0.0f);
    EXPECT_GT(link[0].left, 0.0f); // "Visit " comes first on the first line
    EXPECT_FLOAT_EQ(link[1].left, 0.0f);
    EXPECT_EQ(link[0].textPosition, 6u);
    EXPECT_EQ(link[0].length + link[1].length, 23u); // the whole link text, no more
    EXPECT_TRUE(result.is_on_link(link[1].left + 1.0f, link[1].top + 1.0f));
}

TEST_F(RichtextLayout, PointTestFindsOnlyLinkText)
{
    auto result = richtext_build_layout(factory, L"plain text\n[[[hlink]]] after", format, 400.0f, 200.0f, &brush);
    ASSERT_EQ(result.links().size(), 1u);
    ASSERT_EQ(result.links()[0].size(), 1u);
    const DWRITE_HIT_TEST_METRICS r = result.links()[0][0];
    EXPECT_GT(r.top, 0.0f); // second line
    EXPECT_TRUE(result.is_on_link(r.left, r.top));
    EXPECT_TRUE(result.is_on_link(r.left + r.width / 2, r.top + r.height / 2));
    EXPECT_FALSE(result.is_on_link(r.left + r.width, r.top));  // right edge is outside
    EXPECT_FALSE(result.is_on_link(r.left, r.top + r.height)); // bottom edge is outside
    EXPECT_FALSE(result.is_on_link(1.0f, 1.0f));               // first line, plain text
    EXPECT_FALSE(result.is_on_link(r.left + r.width + 5.0f, r.top + 1.0f)); // " after"
}

TEST_F(RichtextLayout, LinkInsideBoldIsMeasuredBold)
{
    auto plain = richtext_build_layout(factory, L"[[[hWWWWWW]]]", format, 400.0f, 100.0f, &brush);
    auto bold = richtext_build_layout(factory, L"[[[b[[[hWWWWWW]]]]]]", format, 400.0f, 100.0f, &brush);
    ASSERT_EQ(plain.links().size(), 1u);
    ASSERT_EQ(bold.links().size(), 1u);
    EXPECT_GT(bold.links()[0].at(0).width, plain.links()[0].at(0).width);
}

TEST_F(RichtextLayout, MissingFontFamilyFallsBackToAnExistingOne)
{
    IDWriteTextFormat* missing = make_format(L"No Such Family 4711");
    auto result = richtext_build_layout(factory, L"[[[hlink]]]", missing, 400.0f, 100.0f, &brush);
    missing->Release();
    ASSERT_NE(result.layout(), nullptr);
    DWRITE_TEXT_METRICS metrics{};
    EXPECT_EQ(result.layout()->GetMetrics(&metrics), S_OK);
    EXPECT_GT(metrics.width, 0.0f);
    ASSERT_EQ(result.links().size(), 1u);
    EXPECT_EQ(result.links()[0].size(), 1u);
}

TEST_F(RichtextLayout, LayoutHoldsTheBrushUntilReleased)
{
    const ULONG before = brush.count;
    {
        auto result = richtext_build_layout(factory, L"[[[hx]]]", format, 100.0f, 100.0f, &brush);
        EXPECT_GT(brush.count, before);
        auto moved = std::move(result);
        EXPECT_EQ(result.layout(), nullptr);
        EXPECT_NE(moved.layout(), nullptr);
    }
    EXPECT_EQ(brush.count, before);
}

} // namespace
