// The "Discovered ports:" tree: servers and the ports they share.
#include "main_dialog.h"

#include <locale>

#include "bracefmt/bracefmt.h"

namespace {

std::wstring upper(const std::wstring& text)
{
    const auto& ctype = std::use_facet<std::ctype<wchar_t>>(std::locale());
    std::wstring out = text;
    for (auto& c : out)
        c = ctype.toupper(c);
    return out;
}

HTREEITEM insert_item(HWND tree, HTREEITEM parent, std::wstring text, LPARAM data)
{
    TVINSERTSTRUCTW insert{};
    insert.hParent = parent;
    insert.hInsertAfter = TVI_LAST;
    insert.item.mask = TVIF_TEXT;
    insert.item.pszText = text.data();
    const auto item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&insert)));
    TVITEMW set{};
    set.mask = TVIF_PARAM;
    set.hItem = item;
    set.lParam = data;
    SendMessageW(tree, TVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&set));
    return item;
}

} // namespace

corun::details::fire_and_forget main_dialog::refresh_server_tree()
{
    try {
        co_await resume_on_window();
        std::lock_guard guard(servers_lock);
        const HWND tree = server_tree.control;
        SendMessageW(tree, TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(TVI_ROOT));
        EnableWindow(remove_server_button, FALSE);
        tree_items.clear();
        server_items.clear();
        for (const auto& [name, ports] : servers) {
            const std::wstring name_upper = upper(name);
            const HTREEITEM server_item = insert_item(tree, TVI_ROOT, name, 0);
            server_items.emplace(server_item, name);
            for (const auto& record : ports) {
                std::uint32_t connected = 0;
                for (const auto& device : devices) {
                    UINT remote_port = 0;
                    BSTR host = nullptr;
                    device->get_remotePort(&remote_port);
                    device->get_remoteHost(&host);
                    const std::wstring host_text(host ? host : L"", host ? SysStringLen(host) : 0);
                    SysFreeString(host);
                    if (remote_port == record.port && upper(host_text) == name_upper) {
                        UINT port = 0;
                        device->get_port(&port);
                        connected = port;
                        break;
                    }
                }
                const std::wstring text = bracefmt::format(L"{0}{1?<} [connected to COM{2}]{1?>}", record.name,
                                                           connected != 0, connected);
                const HTREEITEM item = insert_item(tree, server_item, text, 1);
                tree_items[item] = tree_port_item{connected, record.port, name};
            }
            SendMessageW(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(server_item));
        }
        EnableWindow(connect_button, FALSE);
    } catch (...) {
    }
}

__int64 main_dialog::on_tree_selchanged(const NMTREEVIEWW& change)
{
    EnableWindow(remove_server_button, change.itemNew.lParam == 0);
    EnableWindow(connect_button, change.itemNew.lParam == 1);
    return 0;
}

__int64 main_dialog::on_tree_itemexpanded()
{
    // Collapsing a server moves the selection off its port to the server, and Wine tells nothing
    // of that move, which it makes only after this notification: the buttons follow the tree's
    // own selection once the tree is done.
    PostMessageW(hwnd(), follow_tree_selection_message, 0, 0);
    return 0;
}

__int64 main_dialog::on_follow_tree_selection()
{
    const HWND tree = server_tree.control;
    const auto selected = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
    TVITEMW item{};
    item.mask = TVIF_PARAM;
    item.hItem = selected;
    const bool known = selected && SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
    EnableWindow(remove_server_button, known && item.lParam == 0);
    EnableWindow(connect_button, known && item.lParam == 1);
    return 0;
}

__int64 main_dialog::on_remove_server()
{
    const auto selected = reinterpret_cast<HTREEITEM>(
        SendMessageW(server_tree.control, TVM_GETNEXTITEM, TVGN_CARET, 0));
    {
        std::lock_guard guard(servers_lock);
        // Found by item, not by text: a port's text may equal a server's name.
        const auto found = server_items.find(selected);
        if (found != server_items.end())
            servers.erase(found->second);
    }
    refresh_server_tree();
    return 0;
}
