#include "wl/controls.h"

namespace wl {
namespace {

bool key_down(int key) noexcept
{
    return (GetAsyncKeyState(key) & 0x8000) != 0;
}

void set_all_rows(HWND list, UINT state, UINT mask) noexcept
{
    LVITEMW item{};
    item.stateMask = mask;
    item.state = state;
    SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&item));
}

void set_row(HWND list, int row, UINT state, UINT mask) noexcept
{
    LVITEMW item{};
    item.stateMask = mask;
    item.state = state;
    SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

} // namespace

listview::listview()
    : small_images(16, 16, [this](HIMAGELIST list) { SendMessageW(control, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(list)); }),
      normal_images(32, 32, [this](HIMAGELIST list) { SendMessageW(control, LVM_SETIMAGELIST, LVSIL_NORMAL, reinterpret_cast<LPARAM>(list)); })
{
    handlers.on_message(WM_GETDLGCODE, [this](params p) { return on_getdlgcode(p); });
    handlers.on_message(WM_RBUTTONDOWN, [this](params p) { return on_rbuttondown(p); });
    handlers.on_message(WM_KEYDOWN, [this](params p) { return on_keydown(p); });
}

listview::~listview()
{
    if (menu)
        DestroyMenu(menu);
    normal_images.reset();
    small_images.reset();
    detach();
}

std::vector<std::int64_t> listview::get_selected() const
{
    std::vector<std::int64_t> rows;
    rows.reserve(static_cast<std::size_t>(SendMessageW(control, LVM_GETSELECTEDCOUNT, 0, 0)));
    LRESULT row = -1;
    while ((row = SendMessageW(control, LVM_GETNEXTITEM, static_cast<WPARAM>(row), LVNI_SELECTED)) != -1)
        rows.push_back(row);
    return rows;
}

__int64 listview::on_getdlgcode(const params& p)
{
    // The dialog manager asks the focused list about each keyboard message, LPARAM pointing to
    // it. The list asks for Enter, so that the dialog's default button is not pressed, and acts
    // on the key when it goes down (below). The message itself is never read: a WM_GETDLGCODE
    // can come from anyone, with anything in its LPARAM.
    if (p.lParam == 0 || (p.wParam & 0xFF) != VK_RETURN)
        return default_processing(p);
    return DLGC_WANTALLKEYS;
}

__int64 listview::on_keydown(const params& p)
{
    switch (p.wParam & 0xFF) {
    case 'A':
        if (key_down(VK_CONTROL))
            set_all_rows(control, LVIS_SELECTED, LVIS_SELECTED);
        return default_processing(p);
    case VK_RETURN: {
        // The one notification of the key: the control's own processing, which would notify
        // LVN_KEYDOWN (and NM_RETURN) as well, does not run.
        NMLVKEYDOWN key{};
        key.hdr.hwndFrom = control;
        key.hdr.idFrom = static_cast<UINT_PTR>(GetDlgCtrlID(control));
        key.hdr.code = LVN_KEYDOWN;
        key.wVKey = VK_RETURN;
        key.flags = 0;
        SendMessageW(GetAncestor(control, GA_PARENT), WM_NOTIFY, key.hdr.idFrom, reinterpret_cast<LPARAM>(&key));
        return 0;
    }
    case VK_APPS:
        show_context_menu(true, key_down(VK_CONTROL), key_down(VK_SHIFT));
        return default_processing(p);
    default:
        return default_processing(p);
    }
}

__int64 listview::on_rbuttondown(const params& p)
{
    show_context_menu(false, (p.wParam & MK_CONTROL) != 0, (p.wParam & MK_SHIFT) != 0);
    return 0;
}

std::int64_t listview::show_context_menu(bool from_keyboard, bool ctrl, bool shift)
{
    if (!menu)
        return -1;
    const HWND parent = GetAncestor(control, GA_PARENT);
    POINT point{6, 10};
    std::int64_t row = -1;
    if (!from_keyboard) {
        GetCursorPos(&point);
        ScreenToClient(control, &point);
        LVHITTESTINFO hit{};
        hit.pt = point;
        row = SendMessageW(control, LVM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit));
        if (!ctrl && !shift) {
            if (row == -1) {
                set_all_rows(control, 0, LVIS_SELECTED);
            } else {
                if (!(SendMessageW(control, LVM_GETITEMSTATE, static_cast<WPARAM>(row), LVIS_SELECTED) & LVIS_SELECTED)) {
                    set_all_rows(control, 0, LVIS_SELECTED);
                    set_row(control, static_cast<int>(row), LVIS_SELECTED, LVIS_SELECTED);
                }
                set_row(control, static_cast<int>(row), LVIS_FOCUSED, LVIS_FOCUSED);
            }
        }
        SetFocus(control);
    } else {
        const LRESULT focused = SendMessageW(control, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED);
        if (focused != -1 && SendMessageW(control, LVM_ISITEMVISIBLE, static_cast<WPARAM>(focused), 0)) {
            RECT bounds{};
            bounds.left = LVIR_BOUNDS;
            SendMessageW(control, LVM_GETITEMRECT, static_cast<WPARAM>(focused), reinterpret_cast<LPARAM>(&bounds));
            point = {bounds.left + 16, bounds.top + (bounds.bottom - bounds.top) / 2};
        }
    }
    ClientToScreen(control ? control : parent, &point);
    SetForegroundWindow(parent);
    TrackPopupMenu(menu, 0, point.x, point.y, 0, parent, nullptr);
    PostMessageW(parent, WM_NULL, 0, 0);
    return row;
}

} // namespace wl
