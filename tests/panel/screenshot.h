#pragma once
// Saves what the screen shows of a window (or the whole screen for a null window) as
// <current folder>/screenshots/<name>.png, so that a scenario's end state can be looked at.
#include <windows.h>
#include <wincodec.h>

#include <string>
#include <vector>

namespace screenshot_detail {

template <class I> struct com_holder {
    I* p = nullptr;
    com_holder() = default;
    com_holder(const com_holder&) = delete;
    com_holder& operator=(const com_holder&) = delete;
    ~com_holder()
    {
        if (p)
            p->Release();
    }
    I* operator->() const { return p; }
};

struct gdi_capture {
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = nullptr;
    gdi_capture() = default;
    gdi_capture(const gdi_capture&) = delete;
    gdi_capture& operator=(const gdi_capture&) = delete;
    ~gdi_capture()
    {
        if (bitmap)
            DeleteObject(bitmap);
        DeleteDC(memory);
        ReleaseDC(nullptr, screen);
    }
};

} // namespace screenshot_detail

// The pixels (32-bit BGRX, top-down) of a rectangle of the screen.
inline std::vector<unsigned char> capture_screen_rect(const RECT& area)
{
    using namespace screenshot_detail;
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;
    std::vector<unsigned char> pixels;
    if (width <= 0 || height <= 0)
        return pixels;
    gdi_capture capture;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    capture.bitmap = CreateDIBSection(capture.screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!capture.bitmap)
        return pixels;
    HGDIOBJ old = SelectObject(capture.memory, capture.bitmap);
    BitBlt(capture.memory, 0, 0, width, height, capture.screen, area.left, area.top, SRCCOPY);
    GdiFlush();
    SelectObject(capture.memory, old);
    const auto* first = static_cast<const unsigned char*>(bits);
    pixels.assign(first, first + static_cast<std::size_t>(width) * height * 4);
    return pixels;
}

inline bool save_screenshot(HWND window, const std::wstring& name)
{
    using namespace screenshot_detail;
    Sleep(300); // let the last paint reach the screen
    RECT area{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    if (window && !GetWindowRect(window, &area))
        return false;
    const UINT width = static_cast<UINT>(area.right - area.left);
    const UINT height = static_cast<UINT>(area.bottom - area.top);
    std::vector<unsigned char> pixels = capture_screen_rect(area);
    if (pixels.empty())
        return false;
    for (std::size_t i = 3; i < pixels.size(); i += 4)
        pixels[i] = 0xFF;

    CreateDirectoryW(L"screenshots", nullptr);
    const std::wstring path = L"screenshots\\" + name + L".png";
    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    bool saved = false;
    {
        com_holder<IWICImagingFactory> factory;
        com_holder<IWICStream> stream;
        com_holder<IWICBitmapEncoder> encoder;
        com_holder<IWICBitmapFrameEncode> frame;
        WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGRA;
        saved = SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                           IID_IWICImagingFactory, reinterpret_cast<void**>(&factory.p))) &&
                SUCCEEDED(factory->CreateStream(&stream.p)) &&
                SUCCEEDED(stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE)) &&
                SUCCEEDED(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder.p)) &&
                SUCCEEDED(encoder->Initialize(stream.p, WICBitmapEncoderNoCache)) &&
                SUCCEEDED(encoder->CreateNewFrame(&frame.p, nullptr)) && SUCCEEDED(frame->Initialize(nullptr)) &&
                SUCCEEDED(frame->SetSize(width, height)) && SUCCEEDED(frame->SetPixelFormat(&format)) &&
                SUCCEEDED(frame->WritePixels(height, width * 4, static_cast<UINT>(pixels.size()), pixels.data())) &&
                SUCCEEDED(frame->Commit()) && SUCCEEDED(encoder->Commit());
    }
    if (SUCCEEDED(init))
        CoUninitialize();
    return saved;
}
