#include <system_error>

#include "wl/dialog.h"

namespace wl {
namespace {

class font_holder {
public:
    explicit font_holder(HFONT font) noexcept : font_(font) {}
    font_holder(const font_holder&) = delete;
    font_holder& operator=(const font_holder&) = delete;
    ~font_holder() { DeleteObject(font_); }
    HFONT get() const noexcept { return font_; }

private:
    HFONT font_;
};

HFONT make_menu_font()
{
    NONCLIENTMETRICSW metrics{};
    // Before Vista the structure ends before iPaddedBorderWidth.
    metrics.cbSize = is_windows_version_or_greater(6) ? sizeof(NONCLIENTMETRICSW) : offsetof(NONCLIENTMETRICSW, iPaddedBorderWidth);
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, metrics.cbSize, &metrics, 0);
    HFONT font = CreateFontIndirectW(&metrics.lfMenuFont);
    if (!font)
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), "CreateFontIndirect failed");
    return font;
}

} // namespace

HFONT shared_dialog_font()
{
    // Made on first use (thread-safe static); a failed attempt is retried by the next caller.
    static const font_holder font(make_menu_font());
    return font.get();
}

} // namespace wl
