#include <stdexcept>

#include "wl/controls.h"

namespace wl {
namespace {

// Subclass identifiers of wrapped controls; touched only on the UI thread.
UINT_PTR control_subclass_counter = 0;

} // namespace

void throw_assigned_twice()
{
    throw std::logic_error("Trying to assign or create a native control twice.");
}

void image_list_holder::reset(HIMAGELIST list) noexcept
{
    if (list_)
        ImageList_Destroy(list_);
    list_ = list;
    if (list_ && apply_)
        apply_(list_);
}

void native_control::assign(HWND handle)
{
    if (control)
        throw_assigned_twice();
    control = handle;
    install_subclass();
}

void native_control::install_subclass()
{
    if (handlers.hwnd)
        throw std::logic_error("Trying to install subclass twice.");
    if (!control)
        throw std::invalid_argument("Trying to install subclass on an empty control.");
    handlers.hwnd = control;
    link->bind(control);
    subclass_id_ = control_subclass_counter++;
    SetWindowSubclass(control, &native_control::subclass_proc, subclass_id_, reinterpret_cast<DWORD_PTR>(this));
}

void native_control::detach() noexcept
{
    if (handlers.hwnd) {
        RemoveWindowSubclass(handlers.hwnd, &native_control::subclass_proc, subclass_id_);
        handlers.hwnd = nullptr;
        link->unbind();
    }
}

LRESULT CALLBACK native_control::subclass_proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                               DWORD_PTR self) noexcept
{
    auto* wrapper = reinterpret_cast<native_control*>(self);
    if (!wrapper) {
        if (message == WM_NCDESTROY)
            RemoveWindowSubclass(hwnd, &native_control::subclass_proc, id);
        return DefSubclassProc(hwnd, message, wParam, lParam);
    }
    if (!wrapper->handlers.hwnd)
        return DefSubclassProc(hwnd, message, wParam, lParam);

    const auto [handled, value] = wrapper->handlers.dispatch(message, wParam, lParam);
    LRESULT result = handled ? static_cast<LRESULT>(value) : 0;
    if (message == WM_NCDESTROY) {
        RemoveWindowSubclass(hwnd, &native_control::subclass_proc, id);
        wrapper->handlers.hwnd = nullptr;
        wrapper->link->unbind();
    }
    // After the subclass is gone DefSubclassProc passes on to the control's own procedure.
    if (!handled)
        result = DefSubclassProc(hwnd, message, wParam, lParam);
    return result;
}

std::wstring get_window_text(HWND window)
{
    const int length = GetWindowTextLengthW(window);
    if (length <= 0)
        return {};
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(copied < 0 ? 0 : (copied < length ? copied : length)));
    return text;
}

treeview::treeview(unsigned short control_id)
    : images(16, 16, [this](HIMAGELIST list) { SendMessageW(control, TVM_SETIMAGELIST, TVSIL_NORMAL, reinterpret_cast<LPARAM>(list)); }),
      id_(control_id)
{
}

void treeview::assign(HWND handle)
{
    if (control)
        throw_assigned_twice();
    control = handle;
}

} // namespace wl
