#pragma once
// The About box: its text and link colour, and the dialog that draws the logo and the text
// with Direct2D and DirectWrite.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include <windows.h>
#include <d2d1.h>
#include <dwrite.h>
#include <wincodec.h>

#include "richtext.h"
#include "trellum/com/ref.h"
#include "trellum/file_version.h"
#include "wl/dialog.h"

namespace panel {

// The maker's web address that the About box links to.
inline constexpr wchar_t about_web_address[] = L"https://www.velmor-software.example/tidewell";

// Red, green, blue from a browser "Anchor Color" value such as "255,0,0": a missing or
// unreadable component is 0; an empty value is blue (0, 0, 255).
std::array<std::uint32_t, 3> parse_anchor_color(std::wstring_view text);

// The About box's rich-text markup: title, version, copyright and link.
std::wstring make_about_text(const std::wstring& title, const product_version& version);

} // namespace panel

// The modal About box (dialog resource 108): the logo (PNG resource 110) in the rectangle of
// control 1017 and the About text in that of control 1018, drawn with Direct2D. The link
// shows a hand cursor and opens the web address in the default browser. UI thread only.
class about_dialog : public wl::dialog_modal {
public:
    // Makes the Direct2D, DirectWrite and imaging factories; throws
    // corun::details::hresult_error when one cannot be made.
    explicit about_dialog(std::wstring title);
    ~about_dialog();

protected:
    __int64 init_graphics();
    __int64 paint();
    __int64 set_cursor();
    __int64 click(std::int64_t point);

    // Render target, brushes and text layout, made during a paint when render_target is empty.
    void make_drawing_resources();
    // Drops what a failed frame leaves unusable; the next paint makes it again.
    void drop_drawing_resources() noexcept;
    // True when the client point (device-independent pixels) lies on the link.
    bool is_on_link(float x, float y) const noexcept;

    template <class I> using ref = Trellum::com::details::ref<I>;

    ref<ID2D1HwndRenderTarget> render_target;
    ref<ID2D1SolidColorBrush> text_brush;
    ref<ID2D1SolidColorBrush> link_brush;
    float dpi_x = 96.0f;
    float dpi_y = 96.0f;
    std::wstring title;
    ref<ID2D1Factory> d2d_factory;
    ref<IDWriteFactory> dwrite_factory;
    ref<IWICImagingFactory> wic_factory;
    ref<IWICBitmapSource> logo_source;
    ref<ID2D1Bitmap> logo_bitmap;
    ref<IDWriteTextFormat> text_format;
    richtext_layout text_layout;
    D2D1_RECT_F logo_rect{};
    D2D1_RECT_F text_rect{};
};
