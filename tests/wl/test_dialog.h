#pragma once
// A main dialog for tests: once its loop runs, it calls body on the UI thread; when body
// returns true the dialog closes itself, otherwise body arranges the end of the loop.
#include <functional>
#include <string>

#include <windows.h>

#include "wl/async_window.h"
#include "wl/dialog.h"

struct test_main : wl::dialog_main, wl::async_window<test_main> {
    explicit test_main(std::function<bool(test_main&)> body);

    // Creates the window and runs the loop; destroys a window the loop left behind. Hidden by
    // default: without a window manager, Wine waits two seconds whenever a shown window goes.
    int run_loop(int show_command = SW_HIDE);

    std::function<bool(test_main&)> body;
};

// Finds, on a helper thread, the first top-level window of thread whose title is title.
HWND wait_for_window(DWORD thread, const std::wstring& title, DWORD timeout_ms = 10000);

// A message box seen by the helper thread: its caption and text, then closed with OK.
struct seen_box {
    std::string caption;
    std::string text;
    bool found = false;
    bool has_owner = true;
};
// Watches thread for one message box (class #32770 with a static 65535) and closes it.
class box_closer {
public:
    explicit box_closer(DWORD thread);
    ~box_closer();
    // Waits for the helper thread; returns what it saw.
    seen_box result();

private:
    static DWORD WINAPI run(void* self);
    DWORD thread_;
    HANDLE worker_ = nullptr;
    seen_box seen_;
};
