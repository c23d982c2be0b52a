// Program entry of wharfpanel.
#include <exception>
#include <memory>
#include <optional>

#include <windows.h>

#include "corun/errors.h"
#include "main_dialog.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show_command)
{
    wl::com_apartment_guard apartment(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    int code = 0;
    try {
        auto dialog = std::make_unique<main_dialog>();
        // 0 after a normal close, -1 after a reported exception.
        code = dialog->run(instance, show_command);
    } catch (const corun::details::hresult_error& error) {
        return static_cast<int>(error.code());
    } catch (const std::exception&) {
        return 0;
    }
    return code;
}
