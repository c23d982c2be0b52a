#include <stdexcept>

#include <windows.h>
#include <commctrl.h>

#include "wl/dialog.h"

namespace wl {
namespace {

// Marks a wheel message that was forwarded to the control under the pointer.
constexpr WPARAM forwarded_wheel = 0x800;

// Touched only on the UI thread.
UINT_PTR wheel_subclass_counter = 0;

// The object whose window this thread is making (set by creation_scope around
// CreateDialogParam and DialogBoxParam), until WM_INITDIALOG binds it.
thread_local wli::dialog_base* being_created = nullptr;

// The object that a WM_INITDIALOG of window may bind: the one this thread is making, named by
// the message, to a window that has none yet. Taken at once, so that it is bound only once. Null
// for a posted or repeated WM_INITDIALOG, whatever it carries.
wli::dialog_base* take_being_created(HWND window, LPARAM named) noexcept
{
    wli::dialog_base* const self = being_created;
    if (!self || reinterpret_cast<LPARAM>(self) != named || self->hwnd() ||
        GetWindowLongPtrW(window, DWLP_USER) != 0)
        return nullptr;
    being_created = nullptr;
    return self;
}

BOOL CALLBACK set_font(HWND child, LPARAM font) noexcept
{
    SendMessageW(child, WM_SETFONT, static_cast<WPARAM>(font), FALSE);
    return TRUE;
}

LRESULT CALLBACK wheel_forwarding(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                  DWORD_PTR dialog) noexcept
{
    if (message == WM_NCDESTROY) {
        RemoveWindowSubclass(hwnd, &wheel_forwarding, id);
    } else if (message == WM_MOUSEWHEEL) {
        if (!(wParam & forwarded_wheel)) {
            POINT point{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
            const HWND owner = reinterpret_cast<HWND>(dialog);
            ScreenToClient(owner, &point);
            if (HWND target = ChildWindowFromPoint(owner, point))
                SendMessageW(target, WM_MOUSEWHEEL, static_cast<DWORD>(wParam) | forwarded_wheel, lParam);
            return 0;
        }
        wParam &= ~forwarded_wheel;
    }
    return DefSubclassProc(hwnd, message, wParam, lParam);
}

BOOL CALLBACK install_wheel_forwarding(HWND child, LPARAM dialog) noexcept
{
    if (GetWindowLongPtrW(child, GWL_STYLE) & WS_TABSTOP)
        SetWindowSubclass(child, &wheel_forwarding, wheel_subclass_counter++, static_cast<DWORD_PTR>(dialog));
    return TRUE;
}

} // namespace

INT_PTR CALLBACK dialog_proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    wli::dialog_base* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = take_being_created(hwnd, lParam);
        // Not this window's own creation: dropped, not dispatched.
        if (!self)
            return FALSE;
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        // run and show make the font before the window exists, so this cannot throw here.
        const HFONT font = shared_dialog_font();
        SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        EnumChildWindows(hwnd, &set_font, reinterpret_cast<LPARAM>(font));
        self->handlers.hwnd = hwnd;
        self->link->bind(hwnd);
    } else {
        self = reinterpret_cast<wli::dialog_base*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    }

    INT_PTR result = 0;
    if (self) {
        const auto [handled, value] = self->handlers.dispatch(message, wParam, lParam);
        if (handled)
            result = static_cast<INT_PTR>(value);
    }

    if (message == WM_INITDIALOG && !is_windows_version_or_greater(10))
        EnumChildWindows(hwnd, &install_wheel_forwarding, reinterpret_cast<LPARAM>(hwnd));
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, DWLP_USER, 0);
        if (self) {
            self->handlers.hwnd = nullptr;
            self->link->unbind();
        }
    }
    return result;
}

namespace wli {

creation_scope::creation_scope(dialog_base& dialog) noexcept : previous_(being_created)
{
    being_created = &dialog;
}

creation_scope::~creation_scope()
{
    being_created = previous_;
}

dialog_base::~dialog_base()
{
    if (handlers.hwnd)
        SetWindowLongPtrW(handlers.hwnd, DWLP_USER, 0);
}

void dialog_base::discard_window() noexcept
{
    const HWND window = handlers.hwnd;
    if (!window)
        return;
    SetWindowLongPtrW(window, DWLP_USER, 0);
    handlers.hwnd = nullptr;
    link->unbind();
    DestroyWindow(window);
}

void dialog_base::check_can_create(std::uint32_t dialog_id) const
{
    if (handlers.hwnd)
        throw std::logic_error("Tried to create dialog twice.");
    if (dialog_id == 0)
        throw std::logic_error("No dialog resource ID given on this->setup.dialogId.");
}

} // namespace wli
} // namespace wl
