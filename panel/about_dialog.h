#pragma once
// The About box's text and link colour.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "trellum/file_version.h"

namespace panel {

// The maker's web address that the About box links to.
inline constexpr wchar_t about_web_address[] = L"https://www.velmor-software.example/tidewell";

// Red, green, blue from a browser "Anchor Color" value such as "255,0,0": a missing or
// unreadable component is 0; an empty value is blue (0, 0, 255).
std::array<std::uint32_t, 3> parse_anchor_color(std::wstring_view text);

// The About box's rich-text markup: title, version, copyright and link.
std::wstring make_about_text(const std::wstring& title, const product_version& version);

} // namespace panel
