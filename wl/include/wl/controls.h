#pragma once
// Wrappers of the common controls of a dialog: a subclassed report list view with a handler
// store of its own, and a tree view. UI thread only.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <windows.h>
#include <commctrl.h>

#include "wl/thread_capable.h"

namespace wl {

// Raises the logic error of a control handle that is assigned a second time.
[[noreturn]] void throw_assigned_twice();

// Owns an image list and hands it to its control through apply.
class image_list_holder {
public:
    image_list_holder(int width, int height, std::function<void(HIMAGELIST)> apply) noexcept
        : apply_(std::move(apply)), width_(width), height_(height) {}
    image_list_holder(const image_list_holder&) = delete;
    image_list_holder& operator=(const image_list_holder&) = delete;
    ~image_list_holder() { reset(); }

    void reset(HIMAGELIST list = nullptr) noexcept;
    HIMAGELIST get() const noexcept { return list_; }
    int width() const noexcept { return width_; }
    int height() const noexcept { return height_; }

private:
    std::function<void(HIMAGELIST)> apply_;
    int width_;
    int height_;
    HIMAGELIST list_ = nullptr;
};

// A control whose messages pass through its own store before the control's processing.
class native_control : public wli::w_thread_capable<__int64, 0> {
public:
    native_control() = default;
    native_control(const native_control&) = delete;
    native_control& operator=(const native_control&) = delete;
    ~native_control() { detach(); }

    // Takes the control (once) and subclasses it.
    void assign(HWND handle);
    HWND control = nullptr;

    static LRESULT CALLBACK subclass_proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                          UINT_PTR id, DWORD_PTR self) noexcept;

protected:
    // Removes a subclass that is still installed.
    void detach() noexcept;
    LRESULT default_processing(const params& p) const noexcept
    {
        return DefSubclassProc(control, p.message, p.wParam, p.lParam);
    }

private:
    void install_subclass();
    UINT_PTR subclass_id_ = static_cast<UINT_PTR>(-1);
};

class listview : public native_control {
public:
    listview();
    ~listview();

    // Indices of the selected rows, ascending.
    std::vector<std::int64_t> get_selected() const;

    // The context menu opened by a right click or the menu key; owned. None by default.
    HMENU menu = nullptr;
    image_list_holder small_images;
    image_list_holder normal_images;

private:
    __int64 on_getdlgcode(const params& p);
    __int64 on_keydown(const params& p);
    __int64 on_rbuttondown(const params& p);
    // Opens the menu from the mouse or the keyboard; returns the row acted on, or -1.
    std::int64_t show_context_menu(bool from_keyboard, bool ctrl, bool shift);
};

class treeview {
public:
    explicit treeview(unsigned short control_id);
    treeview(const treeview&) = delete;
    treeview& operator=(const treeview&) = delete;

    void assign(HWND handle);
    unsigned short id() const noexcept { return id_; }

    HWND control = nullptr;
    image_list_holder images;

private:
    unsigned short id_;
};

std::wstring get_window_text(HWND window);

} // namespace wl
