#pragma once
// A message-only window with a message map in a derived class. The window belongs to the
// thread that calls create() and must be destroyed on that thread.
#include <windows.h>

#include <string>

namespace wharfcore {

class message_window {
public:
    message_window() noexcept = default;
    message_window(const message_window&) = delete;
    message_window& operator=(const message_window&) = delete;

    // Registers a window class of this object's own and creates the window with the given
    // style under HWND_MESSAGE. False when the class or the window cannot be made.
    bool create(DWORD style) noexcept;
    // Destroys the window and unregisters its class; nothing when there is no window.
    void destroy() noexcept;

    HWND hwnd() const noexcept { return hwnd_; }

protected:
    ~message_window();

    // True when the message was handled; result then holds the window procedure's answer.
    virtual bool ProcessWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                      LRESULT& result) = 0;

private:
    static LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    HWND hwnd_ = nullptr;
    std::wstring class_name_;
};

} // namespace wharfcore
