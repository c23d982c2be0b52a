#include "message_window.h"

#include <cwchar>

namespace wharfcore {
namespace {

HINSTANCE this_module() noexcept
{
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&this_module), &module);
    return module;
}

} // namespace

message_window::~message_window()
{
    destroy();
}

bool message_window::create(DWORD style) noexcept
{
    const HINSTANCE module = this_module();
    // A class per window: no window of another object, or of an earlier load of this module
    // at another address, can ever share it.
    wchar_t name[64];
    std::swprintf(name, 64, L"wharfcore.DeviceWatch.%p", static_cast<void*>(this));
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &message_window::window_proc;
    wc.hInstance = module;
    wc.lpszClassName = name;
    if (!RegisterClassExW(&wc))
        return false;
    class_name_ = name;
    hwnd_ = CreateWindowExW(0, name, nullptr, style, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                            HWND_MESSAGE, nullptr, module, this);
    if (!hwnd_) {
        UnregisterClassW(name, module);
        class_name_.clear();
        return false;
    }
    return true;
}

void message_window::destroy() noexcept
{
    if (hwnd_) {
        DestroyWindow(hwnd_);
        hwnd_ = nullptr;
    }
    if (!class_name_.empty()) {
        UnregisterClassW(class_name_.c_str(), this_module());
        class_name_.clear();
    }
}

LRESULT CALLBACK message_window::window_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<message_window*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self && message == WM_NCDESTROY) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        // Also when someone else destroyed it (a WM_CLOSE from outside): the handle is dead
        // and may name another window later.
        self->hwnd_ = nullptr;
    }
    LRESULT result = 0;
    if (self && self->ProcessWindowMessage(window, message, wParam, lParam, result))
        return result;
    return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace wharfcore
