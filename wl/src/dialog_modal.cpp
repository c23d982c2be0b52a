#include <stdexcept>
#include <system_error>

#include "wl/dialog.h"

namespace wl {

dialog_modal::dialog_modal()
{
    handlers.on_message(WM_CLOSE, [this](params) -> __int64 {
        EndDialog(handlers.hwnd, 1);
        return 1;
    });
}

__int64 dialog_modal::show(HWND parent)
{
    check_can_create(setup.dialogId);
    shared_dialog_font();
    const auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(parent, GWLP_HINSTANCE));
    INT_PTR result = 0;
    {
        const wli::creation_scope creating(*this);
        result = DialogBoxParamW(instance, MAKEINTRESOURCEW(setup.dialogId), parent, &dialog_proc,
                                 reinterpret_cast<LPARAM>(static_cast<wli::dialog_base*>(this)));
    }
    if (result == 0)
        throw std::invalid_argument("DialogBoxParam failed for modal dialog, invalid parent.");
    if (result == -1)
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                "DialogBoxParam failed for modal dialog");
    return result;
}

} // namespace wl
