#pragma once
// "Connect to Remote Port": the credentials and the local port name of a new port.
#include <string>

#include "trellum/com/ref.h"
#include "wharfcore/wharfcore.h"
#include "wl/dialog.h"

class cred_dialog : public wl::dialog_modal {
public:
    cred_dialog(Trellum::com::details::ref<IRemotePortLibraryEx> library, const std::wstring& server);
    ~cred_dialog();

    std::wstring login;
    std::wstring domain;
    std::wstring password;
    std::wstring port_name;

private:
    __int64 on_init();
    __int64 on_edit_change();
    __int64 on_ok();

    HWND login_edit = nullptr;
    HWND password_edit = nullptr;
    HWND domain_edit = nullptr;
    HWND ok_button = nullptr;
    HWND port_combo = nullptr;
    Trellum::com::details::ref<IRemotePortLibraryEx> library_;
    const std::wstring& server_;
};

// Overwrites a string's characters with zeros; its length stays.
void wipe(std::wstring& secret) noexcept;
