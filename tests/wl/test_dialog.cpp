#include "test_dialog.h"

#include "test_ids.h"

test_main::test_main(std::function<bool(test_main&)> b) : async_window(handlers, link), body(std::move(b))
{
    setup.dialogId = IDD_TEST_MAIN;
    handlers.on_message(WM_INITDIALOG, [this](wl::params) -> __int64 {
        PostMessageW(hwnd(), WM_APP, 0, 0);
        return 1;
    });
    handlers.on_message(WM_APP, [this](wl::params) -> __int64 {
        if (body(*this))
            DestroyWindow(hwnd());
        return 1;
    });
}

int test_main::run_loop(int show_command)
{
    const int code = run(GetModuleHandleW(nullptr), show_command);
    discard_window();
    // Drop a quit message that the loop did not fetch.
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    return code;
}

namespace {

struct find_request {
    const std::wstring* title;
    HWND found;
};

BOOL CALLBACK match_title(HWND window, LPARAM context)
{
    auto* request = reinterpret_cast<find_request*>(context);
    wchar_t text[128] = {};
    GetWindowTextW(window, text, 128);
    if (*request->title == text) {
        request->found = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK match_box(HWND window, LPARAM context)
{
    wchar_t cls[32] = {};
    GetClassNameW(window, cls, 32);
    if (std::wstring(cls) == L"#32770" && GetDlgItem(window, 65535) && IsWindowVisible(window)) {
        *reinterpret_cast<HWND*>(context) = window;
        return FALSE;
    }
    return TRUE;
}

} // namespace

HWND wait_for_window(DWORD thread, const std::wstring& title, DWORD timeout_ms)
{
    const ULONGLONG until = GetTickCount64() + timeout_ms;
    for (;;) {
        find_request request{&title, nullptr};
        EnumThreadWindows(thread, &match_title, reinterpret_cast<LPARAM>(&request));
        if (request.found || GetTickCount64() >= until)
            return request.found;
        Sleep(10);
    }
}

box_closer::box_closer(DWORD thread) : thread_(thread)
{
    worker_ = CreateThread(nullptr, 0, &box_closer::run, this, 0, nullptr);
}

box_closer::~box_closer()
{
    result();
}

seen_box box_closer::result()
{
    if (worker_) {
        WaitForSingleObject(worker_, INFINITE);
        CloseHandle(worker_);
        worker_ = nullptr;
    }
    return seen_;
}

DWORD WINAPI box_closer::run(void* context)
{
    auto* self = static_cast<box_closer*>(context);
    const ULONGLONG until = GetTickCount64() + 10000;
    HWND box = nullptr;
    while (!box && GetTickCount64() < until) {
        EnumThreadWindows(self->thread_, &match_box, reinterpret_cast<LPARAM>(&box));
        if (!box)
            Sleep(10);
    }
    if (!box)
        return 0;
    char text[512] = {};
    GetWindowTextA(box, text, sizeof text);
    self->seen_.caption = text;
    GetDlgItemTextA(box, 65535, text, sizeof text);
    self->seen_.text = text;
    self->seen_.has_owner = GetWindow(box, GW_OWNER) != nullptr;
    self->seen_.found = true;
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    return 0;
}
