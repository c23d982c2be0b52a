#include <gtest/gtest.h>

#include <aclapi.h>

#include <array>
#include <filesystem>
#include <set>
#include <thread>

#include "corun/blocking_wait.h"
#include "corun/thread_pool.h"
#include "update_check.h"

using namespace panel;

TEST(UpdateCheck, UrlCarriesEncodedRunningVersion)
{
    EXPECT_EQ(encode_version({4, 3, 2, 1}), 102030004u);
    EXPECT_EQ(make_update_check_url(102030004u),
              L"https://updates.velmor-software.example/dispatch/tdw-client/checkforupdates?ver=102030004");
}

TEST(UpdateCheck, DecodingIsUnsignedSoLargeVersionsStayNewer)
{
    EXPECT_EQ(decode_version(102030004u), (product_version{4, 3, 2, 1}));
    // 4294967295 read as signed would be -1 and decode to negative parts, older than anything.
    product_version big = decode_version(4294967295u);
    EXPECT_EQ(big, (product_version{7295, 96, 94, 42}));
    EXPECT_TRUE(is_newer(big, {0, 0, 0, 21}));
    EXPECT_TRUE(is_newer(decode_version(2200000000u), decode_version(2100000000u)));
}

TEST(UpdateCheck, NewerOnlyWhenFirstDifferingFieldIsGreater)
{
    product_version running{78, 6, 5, 4};
    EXPECT_FALSE(is_newer(running, running));
    EXPECT_TRUE(is_newer({79, 6, 5, 4}, running));
    EXPECT_FALSE(is_newer({9999, 99, 99, 3}, running));
    EXPECT_FALSE(is_newer({9999, 99, 4, 4}, running));
    EXPECT_TRUE(is_newer({0, 0, 0, 5}, running));
}

TEST(UpdateCheck, VersionMemberConversions)
{
    auto read = [](nlohmann::json doc) { return read_update_version(doc); };
    EXPECT_EQ(read({{"Version", 405060078}}), 405060078u);
    EXPECT_EQ(read({{"Version", 4294967295u}}), 4294967295u);
    EXPECT_EQ(read({{"Version", 0x1'0000'0005ull}}), 5u);
    EXPECT_EQ(read({{"Version", 405060078.9}}), 405060078u);
    EXPECT_EQ(read({{"Version", true}}), 1u);
    EXPECT_THROW(read({{"Version", "405060078"}}), nlohmann::json::type_error);
    EXPECT_THROW(read({{"Other", 1}}), nlohmann::json::type_error);
    EXPECT_THROW(read(nlohmann::json::array({1})), nlohmann::json::type_error);
    EXPECT_THROW(read(nlohmann::json(nullptr)), nlohmann::json::type_error);
}

TEST(UpdateCheck, InstallerMustComeOverHttps)
{
    EXPECT_TRUE(is_acceptable_installer_url(L"https://host/setup.exe"));
    EXPECT_TRUE(is_acceptable_installer_url(L"HTTPS://host/setup.exe"));
    EXPECT_FALSE(is_acceptable_installer_url(L"http://host/setup.exe"));
    EXPECT_FALSE(is_acceptable_installer_url(L"file://c:/setup.exe"));
    EXPECT_FALSE(is_acceptable_installer_url(L"https://"));
    EXPECT_FALSE(is_acceptable_installer_url(L""));
}

namespace {

bool exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

PSID well_known(WELL_KNOWN_SID_TYPE type, std::array<BYTE, SECURITY_MAX_SID_SIZE>& buffer)
{
    DWORD size = static_cast<DWORD>(buffer.size());
    return CreateWellKnownSid(type, nullptr, buffer.data(), &size) ? buffer.data() : nullptr;
}

} // namespace

TEST(UpdateCheck, InstallerGetsAFreshFolderInTempOpenToAdministratorsAndSystemOnly)
{
    std::array<BYTE, SECURITY_MAX_SID_SIZE> admins_buffer{}, system_buffer{};
    PSID admins = well_known(WinBuiltinAdministratorsSid, admins_buffer);
    PSID system = well_known(WinLocalSystemSid, system_buffer);
    ASSERT_TRUE(admins && system);
    std::set<std::wstring> names;
    for (int i = 0; i < 20; ++i) {
        update_info info;
        make_installer_folder(info);
        const std::filesystem::path folder = info.folder;
        EXPECT_EQ(folder, std::filesystem::temp_directory_path() / folder.filename());
        EXPECT_EQ(std::filesystem::path(info.path), folder / folder.filename()) << "named as its folder";
        const std::wstring name = folder.filename().wstring();
        ASSERT_EQ(name.size(), 38u);
        EXPECT_EQ(name.front(), L'{');
        EXPECT_EQ(name.back(), L'}');
        EXPECT_NE(name, L"{00000000-0000-0000-0000-000000000000}");
        names.insert(name);
        EXPECT_TRUE(info.kept_folder);

        // Nothing for anyone else, whatever the temporary folder grants. The owner may change
        // the list anyway (the elevated program's owner is Administrators; Wine shows the user).
        PSID owner = nullptr;
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_EQ(GetNamedSecurityInfoW(info.folder.c_str(), SE_FILE_OBJECT,
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr, &dacl,
                                        nullptr, &descriptor),
                  static_cast<DWORD>(ERROR_SUCCESS));
        ASSERT_NE(dacl, nullptr) << "a null access list lets everyone in";
        for (DWORD a = 0; a < dacl->AceCount; ++a) {
            ACE_HEADER* ace = nullptr;
            ASSERT_TRUE(GetAce(dacl, a, reinterpret_cast<void**>(&ace)));
            if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE)
                continue;
            PSID who = &reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
            EXPECT_TRUE(EqualSid(who, admins) || EqualSid(who, system) || EqualSid(who, owner))
                << "entry " << a << " lets someone else in";
        }
        LocalFree(descriptor);

        delete_installer(info);
        EXPECT_FALSE(exists(info.folder));
    }
    EXPECT_EQ(names.size(), 20u);
}

TEST(UpdateCheck, CommandLineAndQuestionTexts)
{
    EXPECT_EQ(make_upgrade_command_line(L"C:\\Temp\\{A}", 0x1a4), L"\"C:\\Temp\\{A}\" --wait-process 420");
    update_info info;
    info.major = 4;
    info.minor = 5;
    info.build = 6;
    info.revision = 78;
    EXPECT_EQ(make_upgrade_question(info),
              L"Tidewell version 4.05.06.0078 is available. Do you want to upgrade now?");
}

TEST(UpdateCheck, GuardDeletesInstallerUnlessKept)
{
    for (bool keep : {false, true}) {
        update_info info;
        make_installer_folder(info);
        info.kept_file.reset(CreateFileW(info.path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                         CREATE_NEW, 0, nullptr));
        ASSERT_TRUE(info.kept_file);
        {
            installer_file_guard guard(info);
            if (keep)
                guard.keep();
        }
        EXPECT_EQ(exists(info.path), keep);
        EXPECT_EQ(exists(info.folder), keep) << "the folder goes with the file";
        delete_installer(info);
    }
}

namespace {

std::wstring own_directory()
{
    wchar_t path[MAX_PATH]{};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::filesystem::path(path).parent_path().wstring();
}

std::string read_all(const std::wstring& path)
{
    std::string text;
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (!f)
        return text;
    char buffer[1024];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, f)) > 0;)
        text.append(buffer, n);
    fclose(f);
    return text;
}

} // namespace

TEST(UpdateCheck, StartedInstallerGetsQuotedPathAndAProcessHandleValidInIt)
{
    update_info info;
    make_installer_folder(info);
    std::filesystem::path stub = std::filesystem::path(own_directory()) / INSTALLER_STUB;
    ASSERT_TRUE(CopyFileW(stub.c_str(), info.path.c_str(), TRUE));
    // As the download leaves it: readable by others, writes denied.
    info.kept_file.reset(
        CreateFileW(info.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(info.kept_file);
    HANDLE writer = CreateFileW(info.path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE) << "the kept file must deny writers";
    if (writer != INVALID_HANDLE_VALUE)
        CloseHandle(writer);

    std::wstring record = info.path + L".record";
    SetEnvironmentVariableW(L"WHARF_INSTALLER_RECORD", record.c_str());
    {
        installer_file_guard guard(info);
        ASSERT_TRUE(start_installer(info));
        guard.keep();
    }
    std::string text;
    for (int i = 0; i < 200 && text.find('\n', text.find('\n') + 1) == std::string::npos; ++i) {
        Sleep(50); // the stub's only signal is the file it writes
        text = read_all(record);
    }
    SetEnvironmentVariableW(L"WHARF_INSTALLER_RECORD", nullptr);
    std::string path_utf8 = std::filesystem::path(info.path).string();
    EXPECT_EQ(text.rfind("\"" + path_utf8 + "\" --wait-process ", 0), 0u) << text;
    EXPECT_NE(text.find("\n" + std::to_string(GetCurrentProcessId()) + "\n"), std::string::npos) << text;
    DeleteFileW(record.c_str());
    for (int i = 0; i < 100 && !DeleteFileW(info.path.c_str()); ++i)
        Sleep(50); // the stub may still be exiting
    delete_installer(info);
}

namespace {

// The thread that the question would be asked on.
corun::details::future<DWORD> thread_asked_on(const update_check_host& host, corun::details::cancellation_source cancel,
                                              bool from_pool)
{
    if (from_pool)
        co_await corun::resume_background();
    DWORD asked_on = 0;
    co_await ask_when_idle(host, cancel, [&asked_on] { asked_on = GetCurrentThreadId(); });
    co_return asked_on;
}

bool ends_cancelled(corun::details::future<DWORD>& f)
{
    try {
        corun::details::wait_get(f);
    } catch (const corun::details::operation_cancelled&) {
        return true;
    } catch (...) {
    }
    return false;
}

// A message-only window of the test's thread that resumes the posted records it receives.
class resume_window {
public:
    resume_window()
    {
        WNDCLASSW cls{};
        cls.lpfnWndProc = &resume_window::proc;
        cls.hInstance = GetModuleHandleW(nullptr);
        cls.lpszClassName = L"update_tests_resume";
        RegisterClassW(&cls);
        hwnd = CreateWindowW(cls.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, cls.hInstance, nullptr);
    }
    ~resume_window() { DestroyWindow(hwnd); }

    // Pumps the thread's messages until done() holds, at most about five seconds.
    template <class Done> static bool pump_until(Done done)
    {
        MSG msg{};
        for (int i = 0; i < 500 && !done(); ++i) {
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageW(&msg);
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        }
        return done();
    }

    HWND hwnd = nullptr;

private:
    static LRESULT CALLBACK proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message != WM_APP)
            return DefWindowProcW(hwnd, message, wParam, lParam);
        reinterpret_cast<wl::wli::posted_resume*>(wParam)->waiter.resume();
        return 0;
    }
};

} // namespace

TEST(UpdateCheck, QuestionWaitsOnTheWindowThreadUntilTheModalOperationEnds)
{
    resume_window window;
    std::atomic<int> modal_checks{0};
    update_check_host host;
    host.ui_thread = GetCurrentThreadId();
    host.post_resume = [&window](wl::wli::posted_resume& record) {
        return PostMessageW(window.hwnd, WM_APP, reinterpret_cast<WPARAM>(&record), 0) != 0;
    };
    host.modal_running = [&] { return ++modal_checks < 3; }; // the operation ends at the third look
    corun::details::cancellation_source cancel;
    auto result = thread_asked_on(host, cancel, false);
    ASSERT_TRUE(window.pump_until([&] { return result.ready(); }));
    EXPECT_EQ(corun::details::wait_get(result), GetCurrentThreadId());
    EXPECT_EQ(modal_checks.load(), 3);
}

TEST(UpdateCheck, ResumeDeliveredBeforeThePostReturnsStillContinuesOnTheWindowThread)
{
    resume_window window;
    ASSERT_TRUE(window.hwnd);
    for (int round = 0; round < 20; ++round) {
        update_check_host host;
        host.ui_thread = GetCurrentThreadId();
        // Delivered at once: the window's thread runs the resume before the post returns.
        host.post_resume = [&window](wl::wli::posted_resume& record) {
            SendMessageW(window.hwnd, WM_APP, reinterpret_cast<WPARAM>(&record), 0);
            return true;
        };
        corun::details::cancellation_source cancel;
        auto result = thread_asked_on(host, cancel, true);
        ASSERT_TRUE(window.pump_until([&] { return result.ready(); }));
        ASSERT_EQ(corun::details::wait_get(result), GetCurrentThreadId()) << "round " << round;
    }
}

TEST(UpdateCheck, ResumeThatTheWindowCanNoLongerDeliverEndsTheWaitCancelled)
{
    // Posted through a real window link: the window goes (or stops being served) while the
    // resume waits in its queue, and later posts fail at once.
    resume_window window;
    auto link = std::make_shared<wl::wli::window_link>();
    link->bind(window.hwnd);
    update_check_host host;
    host.ui_thread = GetCurrentThreadId();
    host.post_resume = wl::wli::link_poster{link, WM_APP + 1};
    corun::details::cancellation_source cancel;
    auto waiting = thread_asked_on(host, cancel, true);
    MSG msg{};
    for (int i = 0; i < 500 && !PeekMessageW(&msg, window.hwnd, WM_APP + 1, WM_APP + 1, PM_NOREMOVE); ++i)
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_POSTMESSAGE);
    ASSERT_EQ(msg.message, WM_APP + 1u) << "the resume was never posted";
    EXPECT_FALSE(waiting.ready());
    link->unbind();
    EXPECT_TRUE(ends_cancelled(waiting));

    auto late = thread_asked_on(host, cancel, true);
    EXPECT_TRUE(ends_cancelled(late));
    PeekMessageW(&msg, window.hwnd, WM_APP + 1, WM_APP + 1, PM_REMOVE);
}
