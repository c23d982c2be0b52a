#include "cred_dialog.h"

#include <algorithm>
#include <vector>

#include <iads.h>

#include "bracefmt/bracefmt.h"
#include "com_numbers.h"
#include "resource.h"
#include "system_message.h"

namespace {

// {50B6327F-AFD1-11D2-9CB9-0000F87A369E}
constexpr CLSID clsid_ad_system_info = {0x50B6327F, 0xAFD1, 0x11D2, {0x9C, 0xB9, 0x00, 0x00, 0xF8, 0x7A, 0x36, 0x9E}};
// {5BB11929-AFD1-11D2-9CB9-0000F87A369E}
constexpr IID iid_ads_system_info = {0x5BB11929, 0xAFD1, 0x11D2, {0x9C, 0xB9, 0x00, 0x00, 0xF8, 0x7A, 0x36, 0x9E}};

// Reads the whole text of a control straight into out, whose earlier characters are wiped
// first: no other copy of the text (a password) is made on the way.
void read_text(HWND control, std::wstring& out)
{
    wipe(out);
    const int length = std::max(GetWindowTextLengthW(control), 0);
    out.assign(static_cast<std::size_t>(length) + 1, L'\0');
    const int got = GetWindowTextW(control, out.data(), length + 1);
    out.resize(static_cast<std::size_t>(std::clamp(got, 0, length)));
}

} // namespace

void wipe(std::wstring& secret) noexcept
{
    if (!secret.empty())
        SecureZeroMemory(secret.data(), secret.size() * sizeof(wchar_t));
}

cred_dialog::cred_dialog(Trellum::com::details::ref<IRemotePortLibraryEx> library, const std::wstring& server)
    : library_(std::move(library)), server_(server)
{
    setup.dialogId = IDD_CREDENTIALS;
    handlers.on_message(WM_INITDIALOG, [this](wl::params) -> __int64 { return on_init(); });
    handlers.add({IDC_LOGIN, IDC_PASSWORD}, [this](wl::params) -> __int64 { return on_edit_change(); });
    handlers.on_command(IDCANCEL, [this](wl::params) -> __int64 {
        EndDialog(hwnd(), IDCANCEL);
        return 0;
    });
    handlers.on_command(IDOK, [this](wl::params) -> __int64 { return on_ok(); });
    // The close box cancels: the credentials have not been checked and the results are empty.
    handlers.on_message(WM_CLOSE, [this](wl::params) -> __int64 {
        EndDialog(hwnd(), IDCANCEL);
        return 1;
    });
}

cred_dialog::~cred_dialog()
{
    wipe(password);
}

__int64 cred_dialog::on_init()
{
    const HWND window = hwnd();
    login_edit = GetDlgItem(window, IDC_LOGIN);
    password_edit = GetDlgItem(window, IDC_PASSWORD);
    domain_edit = GetDlgItem(window, IDC_DOMAIN);
    ok_button = GetDlgItem(window, IDOK);
    port_combo = GetDlgItem(window, IDC_PORT_NAME);

    __int64 result = TRUE;
    wchar_t user[150];
    DWORD size = 150;
    if (GetUserNameW(user, &size)) {
        SetWindowTextW(login_edit, user);
        SetFocus(password_edit);
        result = FALSE;
    }

    IADsADSystemInfo* info = nullptr;
    if (SUCCEEDED(CoCreateInstance(clsid_ad_system_info, nullptr, CLSCTX_INPROC_SERVER, iid_ads_system_info,
                                   reinterpret_cast<void**>(&info)))) {
        BSTR name = nullptr;
        if (SUCCEEDED(info->get_DomainShortName(&name)) && name)
            SetWindowTextW(domain_edit, name);
        SysFreeString(name);
        info->Release();
    }

    const auto taken = present_com_numbers();
    for (std::uint32_t n = 1; n <= 256; ++n) {
        const auto at = std::lower_bound(taken.begin(), taken.end(), n);
        const bool in_use = at != taken.end() && *at == n;
        const std::wstring text = bracefmt::format(L"COM{0}{1?<} (in use){1?>}", n, in_use);
        SendMessageW(port_combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
    SendMessageW(port_combo, CB_SETCURSEL, first_free_in(taken) - 1, 0);
    return result;
}

__int64 cred_dialog::on_edit_change()
{
    EnableWindow(ok_button, GetWindowTextLengthW(login_edit) != 0 && GetWindowTextLengthW(password_edit) != 0);
    return 0;
}

__int64 cred_dialog::on_ok()
{
    read_text(login_edit, login);
    read_text(password_edit, password);
    read_text(domain_edit, domain);
    read_text(port_combo, port_name);
    const HRESULT hr = library_->checkCredentials(server_, login, password, domain);
    if (FAILED(hr)) {
        const std::wstring text = bracefmt::format(
            L"Supplied credentials are invalid: {0} ({1ub016xp})\n\nDo you still want to use them?",
            format_system_message(static_cast<std::uint32_t>(hr)), static_cast<std::uint32_t>(hr));
        if (MessageBoxW(hwnd(), text.c_str(), L"Remote Port Connection", MB_YESNO | MB_ICONERROR | MB_DEFBUTTON2) != IDYES) {
            wipe(password);
            password.clear();
            return 0;
        }
    }
    EndDialog(hwnd(), IDOK);
    return 0;
}
