// The About box's window: logo and rich text drawn with Direct2D, the link's cursor and click.
#include "about_dialog.h"

#include <shellapi.h>

#include <utility>

#include "corun/detached_thread.h"
#include "corun/errors.h"
#include "resource.h"
#include "trellum/memstream.h"
#include "trellum/registry_ex.h"
#include "wharfcore/unique_handles.h"

namespace {

void check(HRESULT hr)
{
    if (FAILED(hr))
        corun::throw_error(hr);
}

// BeginPaint at construction, EndPaint at scope exit.
class paint_scope {
public:
    explicit paint_scope(HWND window) noexcept : window_(window) { BeginPaint(window_, &paint_); }
    paint_scope(const paint_scope&) = delete;
    paint_scope& operator=(const paint_scope&) = delete;
    ~paint_scope() { EndPaint(window_, &paint_); }

private:
    HWND window_;
    PAINTSTRUCT paint_{};
};

// Not in every SDK's headers: the high-quality cubic interpolation of Windows 10.
constexpr auto interpolation_high_quality_cubic = static_cast<WICBitmapInterpolationMode>(4);

D2D1_COLOR_F system_colour(int index) noexcept
{
    const COLORREF colour = GetSysColor(index);
    return D2D1_COLOR_F{GetRValue(colour) / 255.0f, GetGValue(colour) / 255.0f, GetBValue(colour) / 255.0f, 1.0f};
}

// Windows 10 and later have the better cubic scaler.
bool is_windows_10_or_later() noexcept
{
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    if (!GetVersionExW(&info))
        return false;
    return info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion * 100 + info.dwMinorVersion >= 1000;
}

// The browser's link colour; "0,0,255" when the value is missing. Opening the key raises
// Trellum::registry_ex::error_creating_key.
D2D1_COLOR_F link_colour()
{
    Trellum::registry_ex::value setting{HKEY_CURRENT_USER, L"Software\\Microsoft\\Internet Explorer\\Settings",
                                        L"Anchor Color", nullptr, {}};
    const std::wstring text = setting.read_string().value_or(L"0,0,255");
    const std::array<std::uint32_t, 3> rgb = panel::parse_anchor_color(text);
    return D2D1_COLOR_F{static_cast<float>(rgb[0]) / 255.0f, static_cast<float>(rgb[1]) / 255.0f,
                        static_cast<float>(rgb[2]) / 255.0f, 1.0f};
}

// Runs on its own thread: it touches nothing of the dialog, which may be gone by then.
void open_web_address() noexcept
{
    const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    ShellExecuteW(nullptr, L"open", panel::about_web_address, nullptr, nullptr, SW_SHOWDEFAULT);
    if (SUCCEEDED(init))
        CoUninitialize();
}

} // namespace

about_dialog::about_dialog(std::wstring title_text) : title(std::move(title_text))
{
    check(D2D1CreateFactory(D2D1_FACTORY_TYPE_SINGLE_THREADED, __uuidof(ID2D1Factory), nullptr,
                            reinterpret_cast<void**>(d2d_factory.put())));
    check(DWriteCreateFactory(DWRITE_FACTORY_TYPE_SHARED, __uuidof(IDWriteFactory),
                              reinterpret_cast<IUnknown**>(dwrite_factory.put())));
    check(CoCreateInstance(CLSID_WICImagingFactory1, nullptr, CLSCTX_ALL, __uuidof(IWICImagingFactory),
                           reinterpret_cast<void**>(wic_factory.put())));
    setup.dialogId = IDD_ABOUT;

    handlers.on_message(WM_INITDIALOG, [this](wl::params) { return init_graphics(); });
    handlers.on_message(WM_SETCURSOR, [this](wl::params) { return set_cursor(); });
    handlers.on_message(WM_LBUTTONDOWN, [this](wl::params p) { return click(p.lParam); });
    handlers.on_message(WM_PAINT, [this](wl::params) { return paint(); });
    handlers.on_command(IDCANCEL, [this](wl::params) -> __int64 {
        EndDialog(hwnd(), IDCANCEL);
        return 0;
    });
}

// Every interface is released by its member; Direct2D and DirectWrite objects keep the
// factories that made them alive on their own.
about_dialog::~about_dialog() = default;

__int64 about_dialog::init_graphics()
{
    const HWND window = hwnd();

    {
        const wharfcore::unique_hmodule user32(LoadLibraryW(L"user32"));
        using get_dpi_for_window_t = UINT(WINAPI*)(HWND);
        const auto get_dpi_for_window = user32.get()
            ? reinterpret_cast<get_dpi_for_window_t>(
                  reinterpret_cast<void*>(GetProcAddress(user32.get(), "GetDpiForWindow")))
            : nullptr;
        if (get_dpi_for_window) {
            dpi_x = dpi_y = static_cast<float>(get_dpi_for_window(window));
        } else {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
            d2d_factory->GetDesktopDpi(&dpi_x, &dpi_y);
#pragma GCC diagnostic pop
        }
        // A window the system reports no DPI for is drawn at the standard 96.
        if (dpi_x <= 0.0f || dpi_y <= 0.0f)
            dpi_x = dpi_y = 96.0f;
    }

    LOGFONTW font{};
    const auto dialog_font = reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0));
    if (!dialog_font || GetObjectW(dialog_font, sizeof(font), &font) != sizeof(font))
        corun::throw_last_error();
    // A negative height is the character height in pixels; a positive one is used as it is.
    float size = font.lfHeight < 0 ? static_cast<float>(-font.lfHeight) * 96.0f / dpi_y
                                   : static_cast<float>(font.lfHeight);
    size *= 1.1f;
    // FW_DONTCARE (0) is no DirectWrite weight: CreateTextFormat would refuse it.
    const auto weight = static_cast<DWRITE_FONT_WEIGHT>(font.lfWeight > 0 ? font.lfWeight : FW_NORMAL);
    check(dwrite_factory->CreateTextFormat(font.lfFaceName, nullptr, weight,
                                           font.lfItalic ? DWRITE_FONT_STYLE_ITALIC : DWRITE_FONT_STYLE_NORMAL,
                                           DWRITE_FONT_STRETCH_SEMI_CONDENSED, size, L"en-us", text_format.put()));

    const auto control_rect = [&](int id) {
        RECT r{};
        if (!GetWindowRect(GetDlgItem(window, id), &r))
            corun::throw_last_error();
        POINT corners[2] = {{r.left, r.top}, {r.right, r.bottom}};
        ScreenToClient(window, &corners[0]);
        ScreenToClient(window, &corners[1]);
        return D2D1_RECT_F{corners[0].x * 96.0f / dpi_x, corners[0].y * 96.0f / dpi_y, corners[1].x * 96.0f / dpi_x,
                           corners[1].y * 96.0f / dpi_y};
    };
    logo_rect = control_rect(IDC_ABOUT_LOGO);
    text_rect = control_rect(IDC_ABOUT_TEXT);

    const HMODULE module = GetModuleHandleW(nullptr);
    const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(IDR_ABOUT_LOGO), L"PNG");
    if (!found)
        corun::throw_last_error();
    const DWORD png_size = SizeofResource(module, found);
    const HGLOBAL loaded = LoadResource(module, found);
    const void* png = loaded ? LockResource(loaded) : nullptr;
    if (!png)
        corun::throw_last_error();

    // The resource's memory lives as long as the module; the stream only reads it.
    using memory_stream = Trellum::details::memstream<Trellum::details::external_storage>;
    const ref<IStream> stream = ref<IStream>::attach(memory_stream::create(png, png_size));
    ref<IWICBitmapDecoder> decoder;
    check(wic_factory->CreateDecoder(GUID_ContainerFormatPng, nullptr, decoder.put()));
    check(decoder->Initialize(stream.get(), WICDecodeMetadataCacheOnDemand));
    ref<IWICBitmapFrameDecode> frame;
    check(decoder->GetFrame(0, frame.put()));

    ref<IWICBitmapScaler> scaler;
    check(wic_factory->CreateBitmapScaler(scaler.put()));
    const auto width = static_cast<UINT>(logo_rect.right - logo_rect.left);
    const auto height = static_cast<UINT>(logo_rect.bottom - logo_rect.top);
    check(scaler->Initialize(frame.get(), width, height,
                             is_windows_10_or_later() ? interpolation_high_quality_cubic
                                                      : WICBitmapInterpolationModeFant));
    ref<IWICFormatConverter> converter;
    check(wic_factory->CreateFormatConverter(converter.put()));
    check(converter->Initialize(scaler.get(), GUID_WICPixelFormat32bppPBGRA, WICBitmapDitherTypeNone, nullptr, 0.0,
                                WICBitmapPaletteTypeCustom));
    logo_source = ref<IWICBitmapSource>(converter.get());
    return 1;
}

void about_dialog::make_drawing_resources()
{
    const HWND window = hwnd();
    RECT client{};
    GetClientRect(window, &client);
    const D2D1_RENDER_TARGET_PROPERTIES properties{D2D1_RENDER_TARGET_TYPE_DEFAULT,
                                                   {DXGI_FORMAT_UNKNOWN, D2D1_ALPHA_MODE_UNKNOWN},
                                                   0.0f,
                                                   0.0f,
                                                   D2D1_RENDER_TARGET_USAGE_NONE,
                                                   D2D1_FEATURE_LEVEL_DEFAULT};
    const D2D1_HWND_RENDER_TARGET_PROPERTIES window_properties{
        window,
        D2D1_SIZE_U{static_cast<UINT32>(client.right - client.left), static_cast<UINT32>(client.bottom - client.top)},
        D2D1_PRESENT_OPTIONS_NONE};
    check(d2d_factory->CreateHwndRenderTarget(&properties, &window_properties, render_target.put()));

    // Natural ClearType rendering with the monitor's gamma, contrast and pixel order. A system
    // that cannot say keeps the target's default rendering.
    ref<IDWriteRenderingParams> monitor_params;
    ref<IDWriteRenderingParams> params;
    if (SUCCEEDED(dwrite_factory->CreateMonitorRenderingParams(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST),
                                                               monitor_params.put())) &&
        SUCCEEDED(dwrite_factory->CreateCustomRenderingParams(
            monitor_params->GetGamma(), monitor_params->GetEnhancedContrast(), 1.0f,
            monitor_params->GetPixelGeometry(), DWRITE_RENDERING_MODE_NATURAL, params.put())))
        render_target->SetTextRenderingParams(params.get());

    const D2D1_COLOR_F black{0.0f, 0.0f, 0.0f, 1.0f};
    check(render_target->CreateSolidColorBrush(&black, nullptr, text_brush.put()));
    const D2D1_COLOR_F link = link_colour();
    check(render_target->CreateSolidColorBrush(&link, nullptr, link_brush.put()));

    // Rebuilt with every new link brush: the link text holds the brush as its drawing effect.
    text_layout = richtext_build_layout(dwrite_factory.get(), panel::make_about_text(title, get_file_version()),
                                        text_format.get(), text_rect.right - text_rect.left,
                                        text_rect.bottom - text_rect.top, link_brush.get());
}

void about_dialog::drop_drawing_resources() noexcept
{
    logo_bitmap.reset();
    link_brush.reset();
    text_brush.reset();
    render_target.reset();
}

__int64 about_dialog::paint()
{
    const HWND window = hwnd();
    paint_scope painting(window);
    if (!render_target) {
        try {
            make_drawing_resources();
        } catch (...) {
            // Half-made resources would be taken as complete by the next paint.
            drop_drawing_resources();
            throw;
        }
    }
    // Without a logo bitmap the frame stays empty, as after a failed frame.
    if (!logo_bitmap && logo_source)
        render_target->CreateBitmapFromWicBitmap(logo_source.get(), nullptr, logo_bitmap.put());

    render_target->BeginDraw();
    if (logo_bitmap) {
        render_target->Clear(system_colour(COLOR_BTNFACE));
        render_target->DrawBitmap(logo_bitmap.get(), logo_rect, 1.0f, D2D1_BITMAP_INTERPOLATION_MODE_LINEAR, nullptr);
        text_brush->SetColor(system_colour(COLOR_WINDOWTEXT));
        if (IDWriteTextLayout* layout = text_layout.layout())
            render_target->DrawTextLayout(D2D1_POINT_2F{text_rect.left, text_rect.top}, layout, text_brush.get(),
                                          D2D1_DRAW_TEXT_OPTIONS_NONE);
    }
    if (FAILED(render_target->EndDraw(nullptr, nullptr))) {
        // A lost device, for example: make everything again on the next paint.
        drop_drawing_resources();
        InvalidateRect(window, nullptr, FALSE);
    }
    return 0;
}

bool about_dialog::is_on_link(float x, float y) const noexcept
{
    return text_rect.left <= x && x < text_rect.right && text_rect.top <= y && y < text_rect.bottom &&
           text_layout.is_on_link(x - text_rect.left, y - text_rect.top);
}

__int64 about_dialog::set_cursor()
{
    POINT cursor{};
    if (!GetCursorPos(&cursor) || !ScreenToClient(hwnd(), &cursor))
        return 0;
    if (!is_on_link(cursor.x * 96.0f / dpi_x, cursor.y * 96.0f / dpi_y))
        return 0;
    SetCursor(LoadCursorW(nullptr, IDC_HAND));
    return 1;
}

__int64 about_dialog::click(std::int64_t point)
{
    const auto x = static_cast<short>(LOWORD(point));
    const auto y = static_cast<short>(HIWORD(point));
    if (is_on_link(x * 96.0f / dpi_x, y * 96.0f / dpi_y))
        corun::details::start_detached_thread(&open_web_address);
    return 1;
}
