#include <gtest/gtest.h>

#include <aclapi.h>

#include <array>
#include <filesystem>
#include <set>
#include <thread>

#include "corun/blocking_wait.h"
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

corun::details::future<DWORD> thread_after_idle(const update_check_host& host,
                                                const corun::details::cancellation_source& cancel)
{
    co_await resume_when_idle(host, cancel);
    co_return GetCurrentThreadId();
}

} // namespace

TEST(UpdateCheck, QuestionWaitsOnTheWindowThreadUntilTheModalOperationEnds)
{
    std::atomic<int> modal_checks{0};
    std::atomic<bool> modal{true};
    update_check_host host;
    host.ui_thread = GetCurrentThreadId();
    host.post_resume = [tid = host.ui_thread](std::coroutine_handle<> h) {
        PostThreadMessageW(tid, WM_APP, reinterpret_cast<WPARAM>(h.address()), 0);
    };
    host.modal_running = [&] {
        ++modal_checks;
        return modal.load();
    };
    corun::details::cancellation_source cancel;
    auto result = thread_after_idle(host, cancel);
    MSG msg{};
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE); // the thread's queue exists from here
    for (int i = 0; i < 500 && !result.ready(); ++i) {
        if (modal_checks >= 3)
            modal = false; // the operation ends
        if (PeekMessageW(&msg, nullptr, WM_APP, WM_APP, PM_REMOVE))
            std::coroutine_handle<>::from_address(reinterpret_cast<void*>(msg.wParam)).resume();
        else
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_POSTMESSAGE);
    }
    ASSERT_TRUE(result.ready());
    EXPECT_EQ(corun::details::wait_get(result), GetCurrentThreadId());
    EXPECT_GE(modal_checks.load(), 3);
    EXPECT_FALSE(modal.load());
}

namespace {

bool ends_cancelled(corun::details::future<void>& f)
{
    try {
        corun::details::wait_get(f);
    } catch (const corun::details::operation_cancelled&) {
        return true;
    } catch (...) {
    }
    return false;
}

} // namespace

TEST(UpdateCheck, WaitOrCancelEndsByWhicheverComesFirst)
{
    // The state completes first: the wait completes, a later cancellation changes nothing.
    {
        auto state = std::make_shared<corun::details::promise_type_<void>>();
        corun::details::cancellation_source cancel;
        auto wait = wait_or_cancel(*state, cancel);
        EXPECT_FALSE(wait.ready());
        state->set_value();
        ASSERT_TRUE(wait.ready());
        cancel.cancel();
        EXPECT_NO_THROW(corun::details::wait_get(wait));
    }
    // The cancellation comes first: the wait ends at once, and the state's later completion
    // resumes nothing (its continuation was taken back).
    {
        auto state = std::make_shared<corun::details::promise_type_<void>>();
        corun::details::cancellation_source cancel;
        auto wait = wait_or_cancel(*state, cancel);
        cancel.cancel();
        EXPECT_TRUE(ends_cancelled(wait));
        EXPECT_FALSE(state->continuation);
        state->set_value();
    }
    // Already cancelled: no wait at all.
    {
        auto state = std::make_shared<corun::details::promise_type_<void>>();
        corun::details::cancellation_source cancel;
        cancel.cancel();
        auto wait = wait_or_cancel(*state, cancel);
        EXPECT_TRUE(ends_cancelled(wait));
        EXPECT_FALSE(state->continuation);
    }
}

TEST(UpdateCheck, WaitOrCancelResumesExactlyOnceWhenBothRace)
{
    for (int i = 0; i < 300; ++i) {
        auto state = std::make_shared<corun::details::promise_type_<void>>();
        corun::details::cancellation_source cancel;
        auto wait = wait_or_cancel(*state, cancel);
        std::thread completer([&] { state->set_value(); });
        cancel.cancel();
        completer.join();
        try {
            corun::details::wait_get(wait); // completes once, either way; a double resume crashes
        } catch (const corun::details::operation_cancelled&) {
        }
    }
}

TEST(UpdateCheck, ResumeThatIsNeverDeliveredEndsWithTheCancellation)
{
    // A window that is gone drops the posted resume: only the cancellation can end the wait.
    std::atomic<int> posts{0};
    update_check_host host;
    host.ui_thread = GetCurrentThreadId() + 1; // never the current thread
    host.post_resume = [&](std::coroutine_handle<>) { ++posts; };
    corun::details::cancellation_source cancel;
    auto wait = resume_when_idle(host, cancel);
    EXPECT_EQ(posts.load(), 1);
    EXPECT_FALSE(wait.ready());
    cancel.cancel();
    EXPECT_TRUE(ends_cancelled(wait));
}
