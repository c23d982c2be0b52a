// Linked into test builds of wharfpanel.exe only: the program's About box cannot be made. Its
// DialogBoxParamW call (made through the program's own imports) returns 0, as for an invalid
// parent, so the About command's handler throws and the program's top-level report runs, the
// way any exception that leaves a window handler does. Every other dialog is made as usual.
#include <windows.h>

#include "support/import_patch.h"

namespace {

constexpr WORD about_template = 108;

using dialog_box_fn = INT_PTR WINAPI(HINSTANCE, LPCWSTR, HWND, DLGPROC, LPARAM);
dialog_box_fn* original_dialog_box = nullptr;

INT_PTR WINAPI refuse_about_box(HINSTANCE instance, LPCWSTR name, HWND parent, DLGPROC procedure, LPARAM parameter)
{
    if (IS_INTRESOURCE(name) && LOWORD(reinterpret_cast<ULONG_PTR>(name)) == about_template) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return original_dialog_box(instance, name, parent, procedure, parameter);
}

struct install_fault {
    install_fault()
        : patch(GetModuleHandleW(nullptr), "user32.dll", "DialogBoxParamW", reinterpret_cast<void*>(&refuse_about_box))
    {
        original_dialog_box = patch.original<dialog_box_fn>();
    }
    import_patch patch;
};

const install_fault fault;

} // namespace
