#include <exception>
#include <system_error>
#include <utility>

#include <windows.h>
#include <commctrl.h>

#include "wl/dialog.h"

namespace wl {
namespace {

[[noreturn]] void throw_system_error(const char* what)
{
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), what);
}

class accelerator_holder {
public:
    accelerator_holder() noexcept = default;
    accelerator_holder(const accelerator_holder&) = delete;
    accelerator_holder& operator=(const accelerator_holder&) = delete;
    ~accelerator_holder()
    {
        if (table)
            DestroyAcceleratorTable(table);
    }
    HACCEL table = nullptr;
};

// The icons a window was given: taken back from a window that still exists, then destroyed.
class window_icons {
public:
    explicit window_icons(HWND window) noexcept : window_(window) {}
    window_icons(const window_icons&) = delete;
    window_icons& operator=(const window_icons&) = delete;
    ~window_icons()
    {
        for (auto [kind, icon] : {std::pair{ICON_SMALL, small_}, std::pair{ICON_BIG, big_}}) {
            if (!icon)
                continue;
            if (IsWindow(window_))
                SendMessageW(window_, WM_SETICON, kind, 0);
            DestroyIcon(icon);
        }
    }

    // Loads the icon resource at size by size pixels and gives it to the window; a failed load
    // gives it no icon.
    void set(HINSTANCE instance, std::uint32_t icon_id, int size, WPARAM kind) noexcept
    {
        const auto icon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(icon_id), IMAGE_ICON, size, size, 0));
        (kind == ICON_SMALL ? small_ : big_) = icon;
        SendMessageW(window_, WM_SETICON, kind, reinterpret_cast<LPARAM>(icon));
    }

private:
    HWND window_;
    HICON small_ = nullptr;
    HICON big_ = nullptr;
};

// Discards the window when run is left by an exception: a window whose set-up failed, or
// whose loop failed, is not left behind.
class discard_on_failure {
public:
    explicit discard_on_failure(wli::dialog_base& dialog) noexcept
        : dialog_(dialog), exceptions_(std::uncaught_exceptions()) {}
    discard_on_failure(const discard_on_failure&) = delete;
    discard_on_failure& operator=(const discard_on_failure&) = delete;
    ~discard_on_failure()
    {
        if (std::uncaught_exceptions() > exceptions_)
            dialog_.discard_window();
    }

private:
    wli::dialog_base& dialog_;
    int exceptions_;
};

} // namespace

dialog_main::dialog_main()
{
    handlers.on_message(WM_CLOSE, [this](params) -> __int64 {
        DestroyWindow(handlers.hwnd);
        return 1;
    });
    handlers.on_message(WM_NCDESTROY, [](params) -> __int64 {
        // A quit already pending (-1 after a reported exception) keeps its code: a second
        // PostQuitMessage would overwrite it.
        MSG pending;
        if (!PeekMessageW(&pending, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE))
            PostQuitMessage(0);
        return 1;
    });
}

int dialog_main::run(HINSTANCE instance, int show_command)
{
    InitCommonControls();
    check_can_create(setup.dialogId);
    shared_dialog_font();

    HWND made = nullptr;
    {
        const wli::creation_scope creating(*this);
        made = CreateDialogParamW(instance, MAKEINTRESOURCEW(setup.dialogId), nullptr, &dialog_proc,
                                  reinterpret_cast<LPARAM>(static_cast<wli::dialog_base*>(this)));
    }
    if (!made)
        throw_system_error("CreateDialogParam failed for main dialog");

    const HWND main_window = handlers.hwnd;
    discard_on_failure discard(*this);
    accelerator_holder accelerators;
    if (setup.acceleratorId != 0) {
        accelerators.table = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(setup.acceleratorId));
        if (!accelerators.table)
            throw_system_error("LoadAccelerators failed for main dialog");
    }
    window_icons icons(main_window);
    if (setup.iconId != 0) {
        icons.set(instance, setup.iconId, 16, ICON_SMALL);
        icons.set(instance, setup.iconId, 32, ICON_BIG);
    }
    ShowWindow(main_window, show_command);

    MSG msg;
    for (;;) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0)
            return static_cast<int>(static_cast<std::uint32_t>(msg.wParam));
        if (got == -1)
            throw_system_error("GetMessage failed");
        bool done = false;
        for (HWND other : modeless) {
            if (other && IsWindow(other) && IsDialogMessageW(other, &msg)) {
                done = true;
                break;
            }
        }
        if (done)
            continue;
        if (accelerators.table && TranslateAcceleratorW(main_window, accelerators.table, &msg))
            continue;
        if (IsDialogMessageW(main_window, &msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

} // namespace wl
