// The Connect command: a new local port bound to the selected shared port.
#include "main_dialog.h"

#include <exception>
#include <oleauto.h>

#include "bracefmt/bracefmt.h"
#include "corun/errors.h"
#include "corun/thread_pool.h"
#include "cred_dialog.h"
#include "system_message.h"
#include "wl/progress.h"

namespace {

// A BSTR copy of a string, wiped (when secret) and freed at scope exit.
class bstr_copy {
public:
    explicit bstr_copy(const std::wstring& text, bool secret = false) : secret_(secret)
    {
        if (text.size() > 0x7FFFFFFF)
            corun::throw_error(E_INVALIDARG);
        if (!text.empty()) {
            value_ = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
            if (!value_)
                corun::throw_error(E_OUTOFMEMORY);
        }
    }
    bstr_copy(const bstr_copy&) = delete;
    bstr_copy& operator=(const bstr_copy&) = delete;
    ~bstr_copy()
    {
        if (value_ && secret_)
            SecureZeroMemory(value_, SysStringLen(value_) * sizeof(wchar_t));
        SysFreeString(value_);
    }
    BSTR get() const noexcept { return value_; }
    BSTR detach() noexcept { return std::exchange(value_, nullptr); }

private:
    BSTR value_ = nullptr;
    bool secret_;
};

// Deletes the new device again when the scope is left by an exception.
class delete_on_failure {
public:
    explicit delete_on_failure(Trellum::com::details::ref<IRemotePortDevice>& device) noexcept
        : device_(device), exceptions_(std::uncaught_exceptions()) {}
    delete_on_failure(const delete_on_failure&) = delete;
    delete_on_failure& operator=(const delete_on_failure&) = delete;
    ~delete_on_failure()
    {
        if (std::uncaught_exceptions() > exceptions_ && device_)
            device_->deleteDevice();
    }

private:
    Trellum::com::details::ref<IRemotePortDevice>& device_;
    int exceptions_;
};

} // namespace

__int64 main_dialog::on_connect()
{
    auto failure = std::make_shared<HRESULT>(S_OK);
    wl::run_with_progress(hwnd(), cancel_source, connect_port(failure));
    // Shown here, on the UI thread, once the operation has ended.
    if (FAILED(*failure)) {
        const std::wstring text = bracefmt::format(L"Error creating device: {0} ({1ub016xp})",
                                                   format_system_message(static_cast<std::uint32_t>(*failure)),
                                                   static_cast<std::uint32_t>(*failure));
        MessageBoxW(hwnd(), text.c_str(), L"Velmor Software Tidewell", MB_ICONERROR);
    }
    return 0;
}

corun::details::future<void> main_dialog::connect_port(std::shared_ptr<HRESULT> failure)
{
    const auto selected = reinterpret_cast<HTREEITEM>(
        SendMessageW(server_tree.control, TVM_GETNEXTITEM, TVGN_CARET, 0));
    const auto found = tree_items.find(selected);
    if (found == tree_items.end())
        co_return;
    const tree_port_item record = found->second;
    if (record.connected_com != 0) {
        MessageBoxW(hwnd(), L"Remote port is already connected.", L"Connection Error", MB_ICONINFORMATION);
        co_return;
    }
    cred_dialog credentials(library, record.server);
    if (credentials.show(hwnd()) != IDOK)
        co_return;

    auto& self = co_await corun::details::current_promise{};
    Trellum::com::details::ref<IRemotePortDevice> device;
    try {
        const auto port_library = library.as<IRemotePortLibrary>();
        delete_on_failure guard(device);
        self.throw_if_cancelled();
        co_await corun::resume_background();
        {
            bstr_copy name(credentials.port_name);
            VARIANT argument;
            VariantInit(&argument);
            argument.vt = VT_BSTR;
            argument.bstrVal = name.get();
            const HRESULT hr = port_library->createPort(argument, device.put());
            if (FAILED(hr))
                corun::throw_error(hr);
        }
        device->put_remoteHost(bstr_copy(record.server).get());
        device->put_remotePort(record.port);
        device->put_login(bstr_copy(credentials.login).get());
        device->put_password(bstr_copy(credentials.password, true).get());
        wipe(credentials.password);
        if (!credentials.domain.empty())
            device->put_domain(bstr_copy(credentials.domain).get());
        self.throw_if_cancelled();
        co_await resume_on_window();
        take_devices();
        fill_device_list();
        refresh_server_tree();
    } catch (const corun::details::hresult_error& error) {
        *failure = error.code();
    }
}
