#pragma once
// Dialogs made from dialog resources, all driven by wl::dialog_proc: the modeless main
// dialog with the program's message loop, and modal dialogs.
#include <cstdint>
#include <vector>

#include <windows.h>

#include "wl/thread_capable.h"

namespace wl {

INT_PTR CALLBACK dialog_proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

bool is_windows_version_or_greater(unsigned major);

// The one font of every dialog: the menu font of the non-client metrics, made once and
// deleted at program exit. Throws std::system_error when it cannot be made.
HFONT shared_dialog_font();

namespace wli {

// What every dialog object shares: the store (whose hwnd is the dialog) and the
// marshalled-call handler. The object must outlive its window or be destroyed first; its
// destructor unbinds a window that still exists.
class dialog_base : public w_thread_capable<__int64, 1> {
public:
    dialog_base() = default;
    dialog_base(const dialog_base&) = delete;
    dialog_base& operator=(const dialog_base&) = delete;
    ~dialog_base();

    HWND hwnd() const noexcept { return handlers.hwnd; }

    // Unbinds the window from the object, so that none of its handlers runs any more, and
    // destroys it. UI thread.
    void discard_window() noexcept;

protected:
    // The common checks before a window is made.
    void check_can_create(std::uint32_t dialog_id) const;
};

// Names, for the calling thread and while it lives, the object whose window is being made:
// dialog_proc binds a window only at the WM_INITDIALOG that names this object, and only once.
// Scopes nest (a dialog made from another's WM_INITDIALOG handler). UI thread.
class creation_scope {
public:
    explicit creation_scope(dialog_base& dialog) noexcept;
    creation_scope(const creation_scope&) = delete;
    creation_scope& operator=(const creation_scope&) = delete;
    ~creation_scope();

private:
    dialog_base* previous_;
};

} // namespace wli

class dialog_main : public wli::dialog_base {
public:
    struct setup_t {
        std::uint32_t dialogId = 0;
        std::uint32_t iconId = 0;
        std::uint32_t acceleratorId = 0;
    };

    dialog_main();

    // Creates the window, shows it and runs the message loop; returns the quit code (0 after
    // the window was closed, -1 after an exception was reported).
    int run(HINSTANCE instance, int show_command);

    // Further modeless dialogs that get the loop's messages first.
    std::vector<HWND> modeless;
    setup_t setup;
};

class dialog_modal : public wli::dialog_base {
public:
    struct setup_t {
        std::uint32_t dialogId = 0;
    };

    dialog_modal();

    // Runs the modal dialog owned by parent; returns the value given to EndDialog.
    __int64 show(HWND parent);

    setup_t setup;
};

// Ends the COM apartment at scope exit if CoInitializeEx succeeded.
class com_apartment_guard {
public:
    explicit com_apartment_guard(HRESULT hr) noexcept : hr_(hr) {}
    com_apartment_guard(const com_apartment_guard&) = delete;
    com_apartment_guard& operator=(const com_apartment_guard&) = delete;
    ~com_apartment_guard()
    {
        if (SUCCEEDED(hr_))
            CoUninitialize();
    }
    HRESULT result() const noexcept { return hr_; }

private:
    HRESULT hr_;
};

} // namespace wl
