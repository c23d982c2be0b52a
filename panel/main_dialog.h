#pragma once
// The main window of wharfpanel: discovered servers and their shared ports, the local ports.
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <windows.h>
#include <commctrl.h>

#include "corun/cancellation.h"
#include "corun/fire_and_forget.h"
#include "corun/future.h"
#include "corun/srw_lock.h"
#include "operation_tracker.h"
#include "trellum/com/ref.h"
#include "wharfcore/wharfcore.h"
#include "wl/async_window.h"
#include "wl/controls.h"
#include "wl/dialog.h"

struct tree_port_item {
    std::uint32_t connected_com = 0;
    std::uint32_t port = 0;
    std::wstring server;
};

class main_dialog : public wl::dialog_main, public wl::async_window<main_dialog> {
public:
    main_dialog();
    ~main_dialog();

    __int64 on_init();
    // Replaces devices with the library's list as it is now, less the ports deleted here.
    void take_devices();
    void fill_device_list();
    __int64 delete_selected_devices();
    void show_about();

    // True while the window must not be asked anything that may close it: a handler of the
    // window runs a message loop (a modal dialog, a message box, an exception report) under the
    // handler that asks; also whenever the caller is not on the window's thread.
    bool modal_running() const noexcept;

private:
    corun::details::future<void> listen_for_servers();
    corun::details::fire_and_forget discover_servers();
    corun::details::future<void> add_server(std::wstring name);
    // A server's query and the recording of its ports; reaches the dialog only while the
    // tracker says it is alive.
    static corun::details::future<void> query_server(std::shared_ptr<operation_tracker::state> tracker,
                                                     main_dialog* dialog, std::wstring name);
    corun::details::fire_and_forget refresh_server_tree();
    corun::details::future<void> check_for_updates();
    corun::details::future<void> signal_initialized();
    corun::details::future<void> connect_port(std::shared_ptr<HRESULT> failure);

    __int64 on_list_itemchanged(const NMLISTVIEW& change);
    __int64 on_tree_selchanged(const NMTREEVIEWW& change);
    __int64 on_tree_itemexpanded();
    __int64 on_follow_tree_selection();
    // Posted to itself after an expand or collapse: sets Connect and Remove Server from the
    // tree's selection.
    static constexpr UINT follow_tree_selection_message = WM_APP + 1;
    __int64 on_remove_server();
    __int64 on_connect();
    friend __int64 pick_computer(main_dialog& dialog);

    // Stops what the dialog started and waits for it, at most a few seconds: a thread pool with
    // no thread free to run the ends of the operations cannot hold it up.
    void shut_down() noexcept;

public:
    corun::details::cancellation_source cancel_source;
    operation_tracker operations;
    corun::details::future<void> listener;
    Trellum::com::details::ref<IRemotePortLibraryEx> library;
    corun::details::srw_lock servers_lock;
    std::unordered_map<std::wstring, std::vector<SharedPortRecord>> servers;
    std::unordered_map<HTREEITEM, tree_port_item> tree_items;
    // Server items and their names, for Remove Server.
    std::unordered_map<HTREEITEM, std::wstring> server_items;
    std::vector<Trellum::com::details::ref<IRemotePortDevice>> devices;
    // Ports this program deleted that the library still listed at the last snapshot: it drops
    // a port only once its device watcher has seen the removal. Held, so that no other port can
    // take their addresses. UI thread only.
    std::vector<Trellum::com::details::ref<IRemotePortDevice>> deleted_devices;
    HWND discover_button = nullptr;
    HWND connect_button = nullptr;
    HWND delete_button = nullptr;
    HWND remove_server_button = nullptr;
    wl::treeview server_tree{1001};
    wl::listview port_list;
    corun::details::cancellation_source update_cancel;
    corun::details::future<void> update_check;
    std::shared_ptr<corun::details::promise_type_<void>> initialized;
};

__int64 pick_computer(main_dialog& dialog);
