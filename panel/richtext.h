#pragma once
// The About box's rich text: a small markup of nested elements, "[[[" plus a one-character
// tag (and an optional ":number:" argument) opening one and "]]]" closing the innermost,
// laid out with DirectWrite. Tags: b bold, i italic, u underline, s relative size in percent,
// h link; any other tag leaves its content unformatted. A "]]]" with no element open is kept
// as text.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <windows.h>
#include <dwrite.h>

// One closed element; start and length count UTF-16 units of the plain text.
struct richtext_range {
    std::uint32_t start;
    std::uint32_t length;
    wchar_t tag;
    std::uint32_t argument;
};

struct richtext_markup {
    std::wstring text;
    std::vector<richtext_range> ranges; // in closing order: inner elements first
};

// Strips the marks. "[[[" at the very end raises std::out_of_range "invalid string_view
// position"; elements left open at the end get no range.
richtext_markup richtext_parse(std::wstring_view markup);

// The rectangles one link occupies, one per line piece, relative to the layout's origin.
using richtext_link = std::vector<DWRITE_HIT_TEST_METRICS>;

// The layout (owned reference; empty when it could not be made) and the links in closing order.
class richtext_layout {
public:
    richtext_layout() noexcept = default;
    richtext_layout(richtext_layout&& other) noexcept;
    richtext_layout& operator=(richtext_layout&& other) noexcept;
    richtext_layout(const richtext_layout&) = delete;
    richtext_layout& operator=(const richtext_layout&) = delete;
    ~richtext_layout();

    IDWriteTextLayout* layout() const noexcept { return layout_; }
    const std::vector<richtext_link>& links() const noexcept { return links_; }
    // The plain text that was laid out (the markup without its marks).
    const std::wstring& text() const noexcept { return text_; }

    // True when (x, y), relative to the layout's origin, lies on some link rectangle.
    bool is_on_link(float x, float y) const noexcept;

private:
    friend richtext_layout richtext_build_layout(IDWriteFactory*, std::wstring_view, IDWriteTextFormat*, float,
                                                 float, IUnknown*);
    IDWriteTextLayout* layout_ = nullptr;
    std::vector<richtext_link> links_;
    std::wstring text_;
};

// Parses the markup, lays out its text in a box of max_width by max_height device-independent
// pixels with format's font, and applies the elements' formatting; link text gets link_brush
// as its drawing effect.
richtext_layout richtext_build_layout(IDWriteFactory* factory, std::wstring_view markup, IDWriteTextFormat* format,
                                      float max_width, float max_height, IUnknown* link_brush);
