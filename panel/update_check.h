#pragma once
// Asking the maker's web host for a newer version, downloading its installer and starting it.
#include <coroutine>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <windows.h>

#include <nlohmann/json.hpp>

#include "corun/cancellation.h"
#include "corun/future.h"
#include "wl/async_window.h"
#include "trellum/file_version.h"
#include "trellum/http_client.h"

namespace panel {

// A newer version found and downloaded. The installer lies in a folder of its own; the file
// stays open, readable by others but never writable, and the folder open so that it can be
// neither renamed nor deleted, until the installer has been started from it.
struct update_info {
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint32_t build = 0;
    std::uint32_t revision = 0;
    std::wstring path;
    std::wstring folder;
    Trellum::details::unique_file kept_file;
    Trellum::details::unique_file kept_folder;
};

// ((major * 100 + minor) * 100 + build) * 10000 + revision, in 32-bit arithmetic.
std::uint32_t encode_version(const product_version& version) noexcept;

// The inverse of encode_version, read as unsigned so that values above 2^31 keep their order.
product_version decode_version(std::uint32_t value) noexcept;

// True when candidate is strictly greater than running, compared major first.
bool is_newer(const product_version& candidate, const product_version& running) noexcept;

// "https://<host>/dispatch/tdw-client/checkforupdates?ver=<version>".
std::wstring make_update_check_url(std::uint32_t version);

// The document's "Version" as an unsigned 32-bit number (integers keep their low 32 bits,
// floating point is truncated, booleans read 0 or 1); other types throw the JSON type error.
std::uint32_t read_update_version(nlohmann::json& document);

// Only an https address may name the installer that an elevated program downloads and starts.
bool is_acceptable_installer_url(std::wstring_view url) noexcept;

// Makes the installer's folder in the temporary folder and sets folder, kept_folder and path
// (the installer inside the folder, of the same name). The name is a GUID in registry form whose
// bits come from the system's random generator, so that it cannot be guessed ahead of the
// download. Only Administrators and SYSTEM may write to the folder: nothing can be planted
// beside the installer that the elevated installer would load. A folder of that name that
// exists already is not taken.
void make_installer_folder(update_info& info);

// Deletes the installer and its folder, what exists of them; closes the kept handles first.
void delete_installer(update_info& info) noexcept;

// "\"<path>\" --wait-process <handle>".
std::wstring make_upgrade_command_line(const std::wstring& path, std::uintptr_t process_handle);

// "Tidewell version 4.05.06.0078 is available. Do you want to upgrade now?"
std::wstring make_upgrade_question(const update_info& info);

// Fetches the update document at url and, when it names a newer version than running,
// downloads the installer. Fails with E_FAIL when there is no newer version.
// The fetch keeps its own reference to the source, so that it may outlive its caller.
corun::details::future<update_info> fetch_update(std::wstring url, product_version running,
                                                 corun::details::cancellation_source cancel);

// Starts the downloaded installer with an inheritable handle of this process on its command
// line. True when it runs; the caller then closes its window. The file is left in place only
// on success.
bool start_installer(update_info& info);

// Deletes the installer and its folder unless it was started (keep set).
class installer_file_guard {
public:
    explicit installer_file_guard(update_info& info) noexcept : info_(info) {}
    installer_file_guard(const installer_file_guard&) = delete;
    installer_file_guard& operator=(const installer_file_guard&) = delete;
    ~installer_file_guard();
    void keep() noexcept { keep_ = true; }

private:
    update_info& info_;
    bool keep_ = false;
};

// What the check needs from the main window. The window is asked for only once the check
// runs on the window's thread: it does not exist yet when the check starts.
struct update_check_host {
    std::function<HWND()> window; // owns the question, closed on upgrade
    DWORD ui_thread = 0;          // the window's thread
    // Posts a resume to the window (wl::resume_awaiter's poster): its handler resumes the
    // coroutine on the window's thread, or the coroutine is resumed elsewhere with the record
    // failed once the window is gone or no longer served.
    std::function<bool(wl::wli::posted_resume&)> post_resume;
    std::function<bool()> modal_running; // true while a modal operation runs
};

// Runs ask on the window's thread at a moment when no modal operation runs there, within the
// same dispatch as that look; fails with operation_cancelled when cancel is cancelled first or
// the window can no longer resume the wait. host must outlive the wait.
corun::details::future<void> ask_when_idle(const update_check_host& host, corun::details::cancellation_source cancel,
                                           std::function<void()> ask);

// The whole check: fetch, wait for the window to be initialised, ask on the UI thread once no
// modal operation runs, and start the installer on Yes. Failures are silent (kept in the future).
// Once update_cancel is cancelled the check ends promptly, whatever it waits for, and only
// after everything it made in the temporary folder is gone.
corun::details::future<void> run_update_check(corun::details::cancellation_source update_cancel,
                                              std::shared_ptr<corun::details::promise_type_<void>> initialized,
                                              update_check_host host);

} // namespace panel
