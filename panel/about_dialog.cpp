// The About box's text and link colour.
#include "about_dialog.h"

#include "bracefmt/bracefmt.h"

namespace panel {

namespace {

// Decimal digits only, fitting 32 bits; false for anything else.
bool read_decimal(std::wstring_view text, std::uint32_t& value)
{
    if (text.empty())
        return false;
    std::uint64_t v = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return false;
        v = v * 10 + static_cast<std::uint64_t>(c - L'0');
        if (v > 0xFFFFFFFFull)
            return false;
    }
    value = static_cast<std::uint32_t>(v);
    return true;
}

} // namespace

std::array<std::uint32_t, 3> parse_anchor_color(std::wstring_view text)
{
    if (text.empty())
        return {0, 0, 255};
    std::array<std::uint32_t, 3> rgb{};
    for (std::size_t i = 0; i < 3; ++i) {
        std::size_t comma = text.find(L',');
        std::uint32_t value = 0;
        if (read_decimal(text.substr(0, comma), value))
            rgb[i] = value;
        if (comma == std::wstring_view::npos || comma + 1 >= text.size())
            break;
        text.remove_prefix(comma + 1);
    }
    return rgb;
}

std::wstring make_about_text(const std::wstring& title, const product_version& version)
{
    std::wstring text = bracefmt::format(L"[[[b[[[s:120:{0}]]]]]]\nVersion {1}.{2w2arf0}.{3w2arf0}.{4w4arf0}\n\n", title,
                                         version[3], version[2], version[1], version[0]);
    text += L"\u00a9 Velmor Software Ltd.\nAll rights reserved.\n[[[h";
    text += about_web_address;
    text += L"]]]\n";
    return text;
}

} // namespace panel
