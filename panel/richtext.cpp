#include "richtext.h"

#include <algorithm>
#include <utility>

namespace {

// Owns one COM reference for the length of a layout build.
template <class I> class owned {
public:
    owned() noexcept = default;
    owned(const owned&) = delete;
    owned& operator=(const owned&) = delete;
    ~owned()
    {
        if (p_)
            p_->Release();
    }
    I** put() noexcept { return &p_; }
    I* get() const noexcept { return p_; }
    I* operator->() const noexcept { return p_; }
    I* detach() noexcept { return std::exchange(p_, nullptr); }

private:
    I* p_ = nullptr;
};

bool family_exists(IDWriteFontCollection* fonts, const wchar_t* name)
{
    UINT32 index = 0;
    BOOL exists = FALSE;
    return SUCCEEDED(fonts->FindFamilyName(name, &index, &exists)) && exists;
}

// A format whose family the system has: a family that does not exist lets CreateTextFormat
// succeed but makes every layout metric fail on some systems. Returns null when format is
// fine as it is.
IDWriteTextFormat* format_with_existing_family(IDWriteFactory* factory, IDWriteTextFormat* format)
{
    owned<IDWriteFontCollection> fonts;
    if (FAILED(factory->GetSystemFontCollection(fonts.put(), FALSE)) || !fonts.get())
        return nullptr;
    const UINT32 length = format->GetFontFamilyNameLength();
    std::wstring family(length + 1, L'\0');
    if (FAILED(format->GetFontFamilyName(family.data(), length + 1)))
        return nullptr;
    family.resize(length);
    if (family_exists(fonts.get(), family.c_str()))
        return nullptr;

    std::wstring fallback;
    for (const wchar_t* name : {L"Segoe UI", L"Tahoma", L"Microsoft Sans Serif", L"Arial"}) {
        if (family_exists(fonts.get(), name)) {
            fallback = name;
            break;
        }
    }
    if (fallback.empty() && fonts->GetFontFamilyCount() > 0) {
        owned<IDWriteFontFamily> first;
        owned<IDWriteLocalizedStrings> names;
        UINT32 name_length = 0;
        if (SUCCEEDED(fonts->GetFontFamily(0, first.put())) && SUCCEEDED(first->GetFamilyNames(names.put())) &&
            SUCCEEDED(names->GetStringLength(0, &name_length))) {
            fallback.assign(name_length + 1, L'\0');
            if (FAILED(names->GetString(0, fallback.data(), name_length + 1)))
                fallback.clear();
            else
                fallback.resize(name_length);
        }
    }
    if (fallback.empty())
        return nullptr;

    const UINT32 locale_length = format->GetLocaleNameLength();
    std::wstring locale(locale_length + 1, L'\0');
    if (FAILED(format->GetLocaleName(locale.data(), locale_length + 1)))
        return nullptr;
    IDWriteTextFormat* replacement = nullptr;
    if (FAILED(factory->CreateTextFormat(fallback.c_str(), nullptr, format->GetFontWeight(), format->GetFontStyle(),
                                         format->GetFontStretch(), format->GetFontSize(), locale.c_str(),
                                         &replacement)))
        return nullptr;
    return replacement;
}

// The link's rectangles from cluster and line metrics, for systems whose text layouts have
// no hit testing. Assumes leading alignment, which the About text uses.
richtext_link link_from_metrics(IDWriteTextLayout* layout, DWRITE_TEXT_RANGE range)
{
    richtext_link pieces;
    UINT32 line_count = 0;
    layout->GetLineMetrics(nullptr, 0, &line_count);
    std::vector<DWRITE_LINE_METRICS> lines(line_count);
    if (line_count == 0 || FAILED(layout->GetLineMetrics(lines.data(), line_count, &line_count)))
        return pieces;
    UINT32 cluster_count = 0;
    layout->GetClusterMetrics(nullptr, 0, &cluster_count);
    std::vector<DWRITE_CLUSTER_METRICS> clusters(cluster_count);
    if (cluster_count == 0 || FAILED(layout->GetClusterMetrics(clusters.data(), cluster_count, &cluster_count)))
        return pieces;

    const UINT32 range_end = range.startPosition + range.length;
    std::size_t line = 0;
    UINT32 line_end = lines[0].length;
    float top = 0.0f;
    float x = 0.0f;
    UINT32 position = 0;
    DWRITE_HIT_TEST_METRICS* piece = nullptr;
    for (const DWRITE_CLUSTER_METRICS& cluster : clusters) {
        while (position >= line_end && line + 1 < lines.size()) {
            top += lines[line].height;
            ++line;
            line_end += lines[line].length;
            x = 0.0f;
            piece = nullptr;
        }
        const bool inside = position < range_end && position + cluster.length > range.startPosition;
        if (inside && !cluster.isNewline) {
            if (!piece) {
                pieces.push_back(DWRITE_HIT_TEST_METRICS{position, 0, x, top, 0.0f, lines[line].height, 0, TRUE, FALSE});
                piece = &pieces.back();
            }
            piece->length = position + cluster.length - piece->textPosition;
            piece->width = x + cluster.width - piece->left;
        }
        x += cluster.width;
        position += cluster.length;
    }
    return pieces;
}

richtext_link link_rectangles(IDWriteTextLayout* layout, DWRITE_TEXT_RANGE range)
{
    UINT32 count = 0;
    HRESULT hr = layout->HitTestTextRange(range.startPosition, range.length, 0.0f, 0.0f, nullptr, 0, &count);
    if (hr == E_NOT_SUFFICIENT_BUFFER || SUCCEEDED(hr)) {
        richtext_link pieces(count);
        if (count == 0)
            return pieces;
        hr = layout->HitTestTextRange(range.startPosition, range.length, 0.0f, 0.0f, pieces.data(), count, &count);
        if (SUCCEEDED(hr)) {
            pieces.resize(count);
            return pieces;
        }
    }
    return link_from_metrics(layout, range);
}

} // namespace

richtext_layout::richtext_layout(richtext_layout&& other) noexcept
    : layout_(std::exchange(other.layout_, nullptr)), links_(std::move(other.links_)), text_(std::move(other.text_))
{
}

richtext_layout& richtext_layout::operator=(richtext_layout&& other) noexcept
{
    if (this != &other) {
        if (layout_)
            layout_->Release();
        layout_ = std::exchange(other.layout_, nullptr);
        links_ = std::move(other.links_);
        text_ = std::move(other.text_);
    }
    return *this;
}

richtext_layout::~richtext_layout()
{
    if (layout_)
        layout_->Release();
}

bool richtext_layout::is_on_link(float x, float y) const noexcept
{
    for (const richtext_link& link : links_)
        for (const DWRITE_HIT_TEST_METRICS& r : link)
            if (r.left <= x && x < r.left + r.width && r.top <= y && y < r.top + r.height)
                return true;
    return false;
}

richtext_layout richtext_build_layout(IDWriteFactory* factory, std::wstring_view markup, IDWriteTextFormat* format,
                                      float max_width, float max_height, IUnknown* link_brush)
{
    const richtext_markup parsed = richtext_parse(markup);
    richtext_layout result;

    owned<IDWriteTextFormat> replacement;
    *replacement.put() = format_with_existing_family(factory, format);
    IDWriteTextFormat* used = replacement.get() ? replacement.get() : format;

    owned<IDWriteTextLayout> layout;
    if (FAILED(factory->CreateTextLayout(parsed.text.c_str(), static_cast<UINT32>(parsed.text.size()), used, max_width,
                                         max_height, layout.put())) ||
        !layout.get())
        return result;

    const float base_size = used->GetFontSize();
    std::vector<DWRITE_TEXT_RANGE> link_ranges;
    for (const richtext_range& r : parsed.ranges) {
        const DWRITE_TEXT_RANGE range{r.start, r.length};
        switch (r.tag) {
        case L'b':
            layout->SetFontWeight(DWRITE_FONT_WEIGHT_BOLD, range);
            break;
        case L'i':
            layout->SetFontStyle(DWRITE_FONT_STYLE_ITALIC, range);
            break;
        case L'u':
            layout->SetUnderline(TRUE, range);
            break;
        case L's':
            layout->SetFontSize(static_cast<float>(r.argument) * base_size * 0.01f, range);
            break;
        case L'h':
            layout->SetUnderline(TRUE, range);
            layout->SetDrawingEffect(link_brush, range);
            link_ranges.push_back(range);
            break;
        default:
            break;
        }
    }
    // Measured once every range is formatted: an element that encloses a link (bold, size)
    // moves the link's text.
    for (const DWRITE_TEXT_RANGE& range : link_ranges)
        result.links_.push_back(link_rectangles(layout.get(), range));
    result.layout_ = layout.detach();
    result.text_ = parsed.text;
    return result;
}
