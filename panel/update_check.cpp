// Update check: the check address, the document's version, the installer download and start.
#include "update_check.h"

#include <array>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>

#include <bcrypt.h>
#include <rpc.h>
#include <sddl.h>

#include "bracefmt/bracefmt.h"
#include "corun/errors.h"
#include "corun/ready_or_cancelled.h"
#include "corun/thread_pool.h"
#include "trellum/utf8.h"
#include "wharfcore/unique_handles.h"

#ifndef WHARF_UPDATE_HOST
#define WHARF_UPDATE_HOST L"updates.velmor-software.example"
#endif

namespace panel {

namespace {

// Holds a reference on the client for the duration of one check.
class client_reference {
public:
    client_reference() : client_(new Trellum::details::HttpClient) { client_->AddRef(); }
    client_reference(const client_reference&) = delete;
    client_reference& operator=(const client_reference&) = delete;
    ~client_reference() { client_->Release(); }
    Trellum::details::HttpClient* operator->() const noexcept { return client_; }

private:
    Trellum::details::HttpClient* client_;
};

// Removes a partly written or unwanted download unless disarmed.
class delete_on_failure {
public:
    explicit delete_on_failure(update_info& info) noexcept : info_(info) {}
    delete_on_failure(const delete_on_failure&) = delete;
    delete_on_failure& operator=(const delete_on_failure&) = delete;
    ~delete_on_failure()
    {
        if (armed_)
            delete_installer(info_);
    }
    void disarm() noexcept { armed_ = false; }

private:
    update_info& info_;
    bool armed_ = true;
};

} // namespace

std::uint32_t encode_version(const product_version& version) noexcept
{
    return ((version[3] * 100u + version[2]) * 100u + version[1]) * 10000u + version[0];
}

product_version decode_version(std::uint32_t value) noexcept
{
    return {value % 10000u, value / 10000u % 100u, value / 1000000u % 100u, value / 100000000u};
}

bool is_newer(const product_version& candidate, const product_version& running) noexcept
{
    for (int i = 3; i >= 0; --i)
        if (candidate[i] != running[i])
            return candidate[i] > running[i];
    return false;
}

std::wstring make_update_check_url(std::uint32_t version)
{
    return bracefmt::format(L"https://" WHARF_UPDATE_HOST L"/dispatch/tdw-client/checkforupdates?ver={0}",
                            version);
}

std::uint32_t read_update_version(nlohmann::json& document)
{
    nlohmann::json& value = document["Version"];
    if (value.is_number_unsigned())
        return static_cast<std::uint32_t>(value.get<std::uint64_t>());
    if (value.is_number_integer())
        return static_cast<std::uint32_t>(static_cast<std::uint64_t>(value.get<std::int64_t>()));
    if (value.is_number_float()) {
        double d = value.get<double>();
        if (!(d >= 0 && d < 4294967296.0))
            throw std::out_of_range("Version out of range");
        return static_cast<std::uint32_t>(d);
    }
    return value.get<std::uint32_t>(); // booleans; everything else throws the type error
}

bool is_acceptable_installer_url(std::wstring_view url) noexcept
{
    constexpr std::wstring_view scheme = L"https://";
    if (url.size() <= scheme.size())
        return false;
    for (std::size_t i = 0; i < scheme.size(); ++i)
        if (towlower(url[i]) != scheme[i])
            return false;
    return true;
}

namespace {

// Full control for SYSTEM and Administrators, inherited by what is made inside; nothing for
// anyone else and nothing inherited from the temporary folder, which the user may write to.
class installer_folder_security {
public:
    installer_folder_security()
    {
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
                                                                  SDDL_REVISION_1, &descriptor_, nullptr))
            corun::throw_last_error();
        attributes.nLength = sizeof(attributes);
        attributes.lpSecurityDescriptor = descriptor_;
        attributes.bInheritHandle = FALSE;
    }
    installer_folder_security(const installer_folder_security&) = delete;
    installer_folder_security& operator=(const installer_folder_security&) = delete;
    ~installer_folder_security() { LocalFree(descriptor_); }

    SECURITY_ATTRIBUTES attributes{};

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
};

std::wstring make_installer_name()
{
    GUID guid{};
    if (UuidCreate(&guid) != RPC_S_OK)
        guid = GUID{};
    // RPC_S_UUID_LOCAL_ONLY and older generators give guessable bits: mix in random bytes.
    std::array<unsigned char, sizeof(GUID)> noise{};
    if (BCryptGenRandom(nullptr, noise.data(), static_cast<ULONG>(noise.size()), BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
        corun::throw_error(E_FAIL);
    auto* bytes = reinterpret_cast<unsigned char*>(&guid);
    for (std::size_t i = 0; i < noise.size(); ++i)
        bytes[i] ^= noise[i];
    wchar_t name[40]{};
    if (StringFromGUID2(guid, name, 40) == 0)
        corun::throw_error(E_FAIL);
    return name;
}

} // namespace

void make_installer_folder(update_info& info)
{
    const std::wstring name = make_installer_name();
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / name;
    installer_folder_security security;
    if (!CreateDirectoryW(folder.c_str(), &security.attributes))
        corun::throw_last_error();
    // Held without delete sharing: the user may delete or rename what lies in the temporary
    // folder, and could otherwise swap the folder for one of their own.
    Trellum::details::unique_file kept(CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                   FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!kept) {
        const DWORD error = GetLastError();
        RemoveDirectoryW(folder.c_str());
        corun::throw_win32_error(error);
    }
    info.folder = folder.wstring();
    info.kept_folder = std::move(kept);
    info.path = (folder / name).wstring();
}

void delete_installer(update_info& info) noexcept
{
    info.kept_file.reset(); // an open handle would stop the delete
    if (!info.path.empty())
        DeleteFileW(info.path.c_str());
    info.kept_folder.reset();
    if (!info.folder.empty())
        RemoveDirectoryW(info.folder.c_str());
}

std::wstring make_upgrade_command_line(const std::wstring& path, std::uintptr_t process_handle)
{
    return bracefmt::format(L"\"{0}\" --wait-process {1}", path, static_cast<std::uint64_t>(process_handle));
}

std::wstring make_upgrade_question(const update_info& info)
{
    return bracefmt::format(L"Tidewell version {0}.{1w2arf0}.{2w2arf0}.{3w4arf0} is available. Do you want to upgrade now?",
                            info.major, info.minor, info.build, info.revision);
}

corun::details::future<update_info> fetch_update(std::wstring url, product_version running,
                                                 corun::details::cancellation_source cancel)
{
    client_reference client;
    client->open(std::wstring{});
    nlohmann::json document = co_await client->get_json(url, cancel);
    product_version offered = decode_version(read_update_version(document));
    if (!is_newer(offered, running))
        corun::throw_error(E_FAIL);

    update_info info;
    info.revision = offered[0];
    info.build = offered[1];
    info.minor = offered[2];
    info.major = offered[3];
    std::wstring installer_url = utf8_to_wide(document["Url"].get<std::string>());
    if (!is_acceptable_installer_url(installer_url))
        corun::throw_error(E_FAIL);

    delete_on_failure guard(info);
    make_installer_folder(info);
    bool done = co_await client->download_file(installer_url, info.path, cancel, &info.kept_file);
    if (!done || !info.kept_file)
        corun::throw_error(E_FAIL);
    guard.disarm();
    co_return info;
}

bool start_installer(update_info& info)
{
    HANDLE self = GetCurrentProcess();
    wharfcore::unique_handle inheritable;
    if (!DuplicateHandle(self, self, self, inheritable.put(), 0, TRUE, DUPLICATE_SAME_ACCESS))
        return false;
    std::wstring command = make_upgrade_command_line(info.path, reinterpret_cast<std::uintptr_t>(inheritable.get()));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    // The application is named explicitly so that the command line cannot select another file;
    // the write-denying handle held in kept_file stays open until the process exists.
    if (!CreateProcessW(info.path.c_str(), command.data(), nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr,
                        nullptr, &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    info.kept_file.reset();
    info.kept_folder.reset();
    return true;
}

installer_file_guard::~installer_file_guard()
{
    if (!keep_)
        delete_installer(info_);
}

namespace {

void throw_if_cancelled(const corun::details::cancellation_source& cancel)
{
    if (cancel.is_cancelled())
        throw corun::details::operation_cancelled();
}

} // namespace

corun::details::future<void> ask_when_idle(const update_check_host& host, corun::details::cancellation_source cancel,
                                           std::function<void()> ask)
{
    for (;;) {
        // The thread matters only in this frame: a caller awaiting this future goes on wherever
        // it completes, which need not be the window's thread.
        co_await wl::resume_awaiter(std::cref(host.post_resume), host.ui_thread);
        throw_if_cancelled(cancel);
        // Asking inside a modal wait (for instance "Please Wait" during Connect) and closing the
        // window on Yes would leave that wait without an end: ask once the operation is over.
        if (!host.modal_running || !host.modal_running())
            break;
        co_await corun::resume_background();
        for (int i = 0; i < 10 && !cancel.is_cancelled(); ++i)
            Sleep(20);
        throw_if_cancelled(cancel);
    }
    ask();
}

corun::details::future<void> run_update_check(corun::details::cancellation_source update_cancel,
                                              std::shared_ptr<corun::details::promise_type_<void>> initialized,
                                              update_check_host host)
{
    throw_if_cancelled(update_cancel);
    product_version running = get_file_version();
    // The fetch observes update_cancel itself: a cancellation ends its pending request at once,
    // and the fetch deletes what it made of the download before it completes. Waiting for it
    // here is what lets nothing stay behind when the program closes.
    update_info info = co_await fetch_update(make_update_check_url(encode_version(running)), running, update_cancel);
    installer_file_guard guard(info);
    throw_if_cancelled(update_cancel);
    co_await corun::details::ready_or_cancelled(*initialized, update_cancel);
    throw_if_cancelled(update_cancel);
    co_await ask_when_idle(host, update_cancel, [&] {
        const HWND window = host.window ? host.window() : nullptr;
        if (MessageBoxW(window, make_upgrade_question(info).c_str(), L"Tidewell", MB_YESNO | MB_ICONQUESTION) ==
                IDYES &&
            start_installer(info)) {
            guard.keep();
            PostMessageW(window, WM_CLOSE, 0, 0);
        }
    });
}

} // namespace panel
