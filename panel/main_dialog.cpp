#include "main_dialog.h"

#include <stdexcept>

#include "bracefmt/bracefmt.h"
#include "corun/errors.h"
#include "corun/thread_pool.h"
#include "resource.h"
#include "system_message.h"

namespace {

constexpr wchar_t app_caption[] = L"Velmor Software Tidewell";
// How long closing waits for operations still running before it leaves them behind.
constexpr unsigned long shutdown_wait_ms = 1500;

template <class H> void assign_once(H& holder, HWND window, int id)
{
    if (holder)
        wl::throw_assigned_twice();
    holder = GetDlgItem(window, id);
}

} // namespace

main_dialog::main_dialog()
    : async_window(handlers, link), update_cancel(corun::details::cancellation_source::child_of(cancel_source)),
      initialized(std::make_shared<corun::details::promise_type_<void>>())
{
    update_check = check_for_updates();

    const HRESULT hr = CoCreateInstance(CLSID_RemotePortLibrary, nullptr, CLSCTX_ALL, __uuidof(IRemotePortLibraryEx),
                                        reinterpret_cast<void**>(library.put()));
    if (FAILED(hr)) {
        MessageBoxW(nullptr, format_connect_error(format_system_message(static_cast<std::uint32_t>(hr)), hr).c_str(),
                    app_caption, MB_ICONERROR);
        // The destructor will not run: stop the update check before the members go.
        shut_down();
        corun::throw_error(hr);
    }
    try {
        devices = library->getDevices();
        setup.dialogId = IDD_MAIN;
        setup.iconId = IDI_MAIN;
        listener = listen_for_servers();

        handlers.on_message(WM_INITDIALOG, [this](wl::params) -> __int64 { return on_init(); });
        handlers.on_command(IDCANCEL, [this](wl::params) -> __int64 {
            DestroyWindow(hwnd());
            return 0;
        });
        handlers.on_command(IDC_DISCOVER, [this](wl::params) -> __int64 {
            discover_servers();
            return 0;
        });
        handlers.on_command(IDC_ABOUT, [this](wl::params) -> __int64 {
            show_about();
            return 0;
        });
        handlers.on_notify(IDC_PORT_LIST, LVN_ITEMCHANGED, [this](wl::params p) -> __int64 {
            return on_list_itemchanged(*reinterpret_cast<const NMLISTVIEW*>(p.lParam));
        });
        handlers.on_notify(IDC_SERVER_TREE, TVN_SELCHANGEDW, [this](wl::params p) -> __int64 {
            return on_tree_selchanged(*reinterpret_cast<const NMTREEVIEWW*>(p.lParam));
        });
        handlers.on_notify(IDC_SERVER_TREE, TVN_ITEMEXPANDEDW, [this](wl::params) -> __int64 {
            return on_tree_itemexpanded();
        });
        handlers.on_message(follow_tree_selection_message,
                            [this](wl::params) -> __int64 { return on_follow_tree_selection(); });
        handlers.on_command(IDC_ADD_SERVER, [this](wl::params) -> __int64 { return pick_computer(*this); });
        handlers.on_command(IDC_REMOVE_SERVER, [this](wl::params) -> __int64 { return on_remove_server(); });
        handlers.on_command(IDC_DELETE, [this](wl::params) -> __int64 { return delete_selected_devices(); });
        handlers.on_command(IDC_CONNECT, [this](wl::params) -> __int64 { return on_connect(); });
    } catch (...) {
        shut_down();
        throw;
    }
}

main_dialog::~main_dialog()
{
    shut_down();
}

void main_dialog::shut_down() noexcept
{
    cancel_source.cancel();
    // Nothing dispatches this window's messages any more (the loop has ended, or never ran):
    // coroutines waiting to be resumed on it go on with operation_cancelled instead.
    link->unbind();
    // The reply listener and the update check end promptly once cancelled, each on a thread-pool
    // thread; the wait for them is bounded all the same, and what it leaves behind finds the
    // dialog gone. Servers' queries are not waited for: they may wait long for a pipe or an
    // answer, and reach the dialog only while it is alive.
    operations.close(shutdown_wait_ms);
}

__int64 main_dialog::on_init()
{
    const HWND window = hwnd();
    assign_once(discover_button, window, IDC_DISCOVER);
    assign_once(connect_button, window, IDC_CONNECT);
    assign_once(remove_server_button, window, IDC_REMOVE_SERVER);
    assign_once(delete_button, window, IDC_DELETE);
    server_tree.assign(GetDlgItem(window, IDC_SERVER_TREE));
    port_list.assign(GetDlgItem(window, IDC_PORT_LIST));

    const HWND tree = server_tree.control;
    SendMessageW(tree, TVM_SETEXTENDEDSTYLE, TVS_EX_DOUBLEBUFFER, TVS_EX_DOUBLEBUFFER);
    SetWindowLongPtrW(tree, GWL_STYLE,
                      GetWindowLongPtrW(tree, GWL_STYLE) | TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT);

    const HWND list = port_list.control;
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_DOUBLEBUFFER, LVS_EX_DOUBLEBUFFER);
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    SetWindowLongPtrW(list, GWL_STYLE, GetWindowLongPtrW(list, GWL_STYLE) | LVS_NOCOLUMNHEADER);

    wchar_t column_text[] = L"Default";
    LVCOLUMNW column{};
    column.mask = LVCF_WIDTH | LVCF_TEXT;
    column.cx = 150;
    column.pszText = column_text;
    SendMessageW(list, LVM_INSERTCOLUMNW, 0xFFFF, reinterpret_cast<LPARAM>(&column));
    const HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
    const int columns = static_cast<int>(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0));
    int others = 0;
    for (int i = 1; i < columns; ++i) {
        LVCOLUMNW width{};
        width.mask = LVCF_WIDTH;
        SendMessageW(list, LVM_GETCOLUMNW, i, reinterpret_cast<LPARAM>(&width));
        others += width.cx;
    }
    RECT client{};
    GetClientRect(list, &client);
    SendMessageW(list, LVM_SETCOLUMNWIDTH, 0, static_cast<LPARAM>(static_cast<std::uint16_t>(client.right - others)));

    discover_servers();
    fill_device_list();
    (void)signal_initialized();
    return 1;
}

bool main_dialog::modal_running() const noexcept
{
    // Asked off the window's thread, nothing can be told (and nothing may be asked there).
    if (GetCurrentThreadId() != thread_id)
        return true;
    // The handler that asks is one of the running handlers.
    return handlers.running_handlers() > 1;
}

corun::details::future<void> main_dialog::signal_initialized()
{
    operation_scope scope(operations.shared());
    const auto state = initialized;
    auto& self = co_await corun::details::current_promise{};
    self.throw_if_cancelled();
    // Completed on the pool, where the update check waiting for it goes on: never inside the
    // WM_INITDIALOG handler.
    co_await corun::resume_background();
    state->set_value();
}
