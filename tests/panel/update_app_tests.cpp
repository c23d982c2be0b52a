// wharfpanel's start-up update check driven from outside: a copy of the program that asks the
// local HTTPS server, started with a temporary folder of the test's own, its windows read and
// pressed, what the folder holds counted.
#include <windows.h>
#include <wincrypt.h>

#include <cwctype>
#include <filesystem>
#include <memory>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "panel_automation.h"
#include "screenshot.h"
#include "wharfcore_under_test.h"

using namespace panel_test;

namespace {

constexpr wchar_t question_caption[] = L"Tidewell";
#define STR2(x) #x
#define STR(x) STR2(x)
const std::string server_url = "https://127.0.0.1:" STR(UPDATE_SERVER_PORT);

std::wstring server_file(const wchar_t* name)
{
    return windows_path(UPDATE_SERVER_DIR) + L"\\" + name;
}

std::string read_file(const std::wstring& path)
{
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The same server over plain HTTP, at the port it reports.
std::string plain_server_url()
{
    return "http://127.0.0.1:" + read_file(server_file(L"http.port"));
}

void write_file(const std::wstring& path, const std::string& text)
{
    std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    out << text;
}

// The server's certificate among the machine's trusted roots while a test runs, so that
// WinINet accepts the server; taken out again afterwards.
class trusted_certificate {
public:
    trusted_certificate()
    {
        const std::string der = read_file(server_file(L"cert.der"));
        certificate_ = CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                                    static_cast<DWORD>(der.size()));
        if (!certificate_)
            return;
        // Wine writes the store's registry keys when it is closed: other processes see the
        // certificate only from then on.
        HCERTSTORE store = open_root();
        trusted_ = store && CertAddCertificateContextToStore(store, certificate_, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
        if (store)
            CertCloseStore(store, 0);
    }
    trusted_certificate(const trusted_certificate&) = delete;
    trusted_certificate& operator=(const trusted_certificate&) = delete;
    ~trusted_certificate()
    {
        if (trusted_) {
            HCERTSTORE store = open_root();
            if (store) {
                PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING,
                                                                  certificate_, nullptr);
                if (found)
                    CertDeleteCertificateFromStore(found); // frees found
                CertCloseStore(store, 0);
            }
        }
        if (certificate_)
            CertFreeCertificateContext(certificate_);
    }
    bool trusted() const { return trusted_; }

private:
    static HCERTSTORE open_root()
    {
        return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    }
    PCCERT_CONTEXT certificate_ = nullptr;
    bool trusted_ = false;
};

// The names in a folder, files and folders alike.
std::vector<std::wstring> folder_entries(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

// A folder of this test, handed to the program as its TEMP and TMP.
class temp_folder {
public:
    temp_folder()
    {
        wchar_t base[MAX_PATH]{};
        GetTempPathW(MAX_PATH, base);
        path_ = std::wstring(base) + L"wharf_update_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                std::to_wstring(GetTickCount64());
        CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~temp_folder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::path(path_), ignored);
    }
    const std::wstring& path() const { return path_; }
    std::vector<std::wstring> entries() const { return folder_entries(path_); }

private:
    std::wstring path_;
};

std::wstring narrow_list(const std::vector<std::wstring>& names)
{
    std::wstring all;
    for (const auto& n : names)
        all += n + L" ";
    return all;
}

bool server_saw(const std::string& path_prefix)
{
    std::istringstream lines(read_file(server_file(L"requests.log")));
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(path_prefix, 0) == 0)
            return true;
    return false;
}

class UpdateApp : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(library.result(), S_OK);
        ASSERT_TRUE(certificate.trusted());
        DeleteFileW(server_file(L"requests.log").c_str());
        DeleteFileW(server_file(L"gate").c_str());
        DeleteFileW(server_file(L"hold_document").c_str());
        DeleteFileW(record.c_str());
    }
    void TearDown() override
    {
        DeleteFileW(record.c_str());
        DeleteFileW(server_file(L"hold_document").c_str());
    }

    // Starts the program against document and waits for its main window and its check.
    void start(const std::string& document)
    {
        write_file(server_file(L"document.json"), document);
        panel = std::make_unique<panel_process>(
            WHARFPANEL_EXE, environment_changes{{L"TEMP", temp.path()}, {L"TMP", temp.path()},
                                                {L"WHARF_INSTALLER_RECORD", record}});
        ASSERT_TRUE(panel->started());
        main = panel->find_window(main_caption, 30000);
        ASSERT_NE(main, nullptr);
        ASSERT_TRUE(wait_for([] { return server_saw("/dispatch/tdw-client/checkforupdates?ver=100000000"); }, 20000))
            << "the check must carry the running version 1.0.0.0";
    }

    HWND wait_question(DWORD ms) const { return panel->find_window(question_caption, ms); }

    registered_wharfcore library;
    trusted_certificate certificate;
    temp_folder temp;
    std::wstring record = temp.path() + L".record";
    std::unique_ptr<panel_process> panel;
    HWND main = nullptr;
};

std::string newer_document(std::uint32_t version, const std::string& url = server_url + "/installer")
{
    return "{\"Version\": " + std::to_string(version) + ", \"Url\": \"" + url + "\", \"Notes\": [1, 2]}";
}

} // namespace

TEST_F(UpdateApp, DocumentsOfferingNothingNewAskNothingAndLeaveNoFile)
{
    const std::string documents[] = {
        newer_document(100000000),                                     // the running version
        newer_document(99999999),                                      // 0.99.99.9999: lower major
        newer_document(100000001, plain_server_url() + "/installer"),  // not https, though it would download
        "{\"Version\": \"100000001\", \"Url\": \"" + server_url + "/installer\"}", // a string
        "{\"Url\": \"" + server_url + "/installer\"}",                  // no Version
    };
    for (const std::string& document : documents) {
        SCOPED_TRACE(document);
        start(document);
        if (HasFatalFailure())
            return;
        EXPECT_EQ(wait_question(2000), nullptr);
        EXPECT_FALSE(server_saw("/installer"));
        EXPECT_TRUE(temp.entries().empty()) << narrow_list(temp.entries()).c_str();
        PostMessageW(main, WM_CLOSE, 0, 0);
        EXPECT_EQ(panel->wait_exit(10000), 0u);
        EXPECT_TRUE(temp.entries().empty()) << narrow_list(temp.entries()).c_str();
        DeleteFileW(server_file(L"requests.log").c_str());
    }
}

TEST_F(UpdateApp, HigherRevisionAsksOnTheInitialisedWindowAndNoDeletesTheDownload)
{
    start(newer_document(100000001));
    HWND box = wait_question(20000);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(text_of(GetDlgItem(box, 65535)), L"Tidewell version 1.00.00.0001 is available. Do you want to upgrade now?");
    // Owned by the main window and asked on its thread, once it was shown and filled.
    EXPECT_EQ(GetWindow(box, GW_OWNER), main);
    EXPECT_EQ(GetWindowThreadProcessId(box, nullptr), GetWindowThreadProcessId(main, nullptr));
    EXPECT_TRUE(IsWindowVisible(main));
    EXPECT_NE(GetDlgItem(main, 1007), nullptr);
    EXPECT_TRUE(server_saw("/installer"));
    // Downloaded before the question, alone in a folder of its own of the same name.
    const auto entries = temp.entries();
    ASSERT_EQ(entries.size(), 1u) << "the installer is downloaded before the question";
    EXPECT_TRUE(std::regex_match(entries[0], std::wregex(L"\\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\\}")))
        << entries[0];
    const std::wstring folder = temp.path() + L"\\" + entries[0];
    EXPECT_NE(GetFileAttributesW(folder.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(folder_entries(folder), entries);

    PostMessageW(box, WM_COMMAND, IDNO, 0);
    EXPECT_TRUE(wait_for([&] { return temp.entries().empty(); }, 5000)) << narrow_list(temp.entries()).c_str();
    EXPECT_EQ(panel->wait_exit(500), static_cast<DWORD>(STILL_ACTIVE)) << "No leaves the program running";
    EXPECT_TRUE(IsWindowVisible(main));
    EXPECT_EQ(wait_question(300), nullptr);
    EXPECT_TRUE(read_file(record).empty()) << "nothing was started";
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(panel->wait_exit(10000), 0u);
}

TEST_F(UpdateApp, YesStartsTheInstallerWithAHandleOfTheProgramAndCloses)
{
    start(newer_document(405060078));
    HWND box = wait_question(20000);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(text_of(GetDlgItem(box, 65535)), L"Tidewell version 4.05.06.0078 is available. Do you want to upgrade now?");
    // The box paints when its thread is idle: ask for a full repaint and wait for the thread.
    RedrawWindow(box, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(box, WM_NULL, 0, 0, SMTO_BLOCK, 5000, &ignored);
    Sleep(300);
    EXPECT_TRUE(save_screenshot(box, L"update_question"));
    ASSERT_EQ(temp.entries().size(), 1u);
    const std::wstring name = temp.entries()[0];
    const std::wstring installer = temp.path() + L"\\" + name + L"\\" + name;

    PostMessageW(box, WM_COMMAND, IDYES, 0);
    EXPECT_EQ(panel->wait_exit(10000), 0u);
    ASSERT_TRUE(wait_for([&] { return read_file(record).find('\n') != read_file(record).rfind('\n'); }, 10000));
    const std::string text = read_file(record);
    std::string command = text.substr(0, text.find('\n'));
    std::string expected_start;
    for (wchar_t c : L"\"" + installer + L"\" --wait-process ")
        expected_start += static_cast<char>(c);
    EXPECT_EQ(command.rfind(expected_start, 0), 0u) << command;
    EXPECT_TRUE(std::regex_match(command.substr(expected_start.size()), std::regex("[1-9][0-9]*"))) << command;
    // The stand-in installer found a handle of wharfpanel's process under that number.
    EXPECT_EQ(text.substr(text.find('\n') + 1), std::to_string(panel->pid()) + "\n");
    EXPECT_TRUE(wait_for([&] { return DeleteFileW(installer.c_str()) != 0; }, 5000)) << "the started installer stays";
}

// Closing ends the check at once whatever it waits for: the document, a download that
// trickles, or one whose server has stopped sending. Nothing of the program's stays in the
// temporary folder: neither the partial file nor the installer's folder.
TEST_F(UpdateApp, ClosingInEveryStateOfTheCheckEndsPromptlyAndLeavesNothing)
{
    struct state {
        const char* name;
        std::string document;
        std::string request; // the request the server must have seen before the close
        bool downloading;
    };
    const state states[] = {
        {"document held", newer_document(100000001), "/dispatch/", false},
        {"slow download", newer_document(100000001, server_url + "/slow"), "/slow", true},
        {"stalled download", newer_document(100000001, server_url + "/stall"), "/stall", true},
    };
    for (const state& s : states) {
        SCOPED_TRACE(s.name);
        if (!s.downloading)
            write_file(server_file(L"hold_document"), "");
        start(s.document);
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(wait_for([&] { return server_saw(s.request); }, 20000));
        if (s.downloading) {
            ASSERT_TRUE(wait_for(
                [&] {
                    const auto entries = temp.entries();
                    return entries.size() == 1 && !folder_entries(temp.path() + L"\\" + entries[0]).empty();
                },
                20000))
                << "the download has begun";
        }
        const ULONGLONG closing = GetTickCount64();
        PostMessageW(main, WM_CLOSE, 0, 0);
        EXPECT_EQ(panel->wait_exit(25000), 0u);
        // Waiting for the download would take a minute (slow) or for ever (stalled); a close
        // takes a few seconds even beside a fully loaded machine.
        EXPECT_LT(GetTickCount64() - closing, 20000u);
        EXPECT_TRUE(temp.entries().empty()) << narrow_list(temp.entries()).c_str();
        EXPECT_EQ(wait_question(0), nullptr);
        DeleteFileW(server_file(L"hold_document").c_str());
        DeleteFileW(server_file(L"requests.log").c_str());
    }
}

TEST_F(UpdateApp, NoQuestionWhileAnExceptionReportIsUp)
{
    start(newer_document(100000001, server_url + "/gated"));
    ASSERT_TRUE(wait_for([] { return server_saw("/gated"); }, 20000));
    make_main_window_throw(main);
    HWND report = panel->find_window(thrown_caption);
    ASSERT_NE(report, nullptr);

    // The download completes while the report is up: the question must wait.
    write_file(server_file(L"gate"), "");
    ASSERT_TRUE(wait_for(
        [&] {
            const auto entries = temp.entries();
            return entries.size() == 1 && folder_entries(temp.path() + L"\\" + entries[0]) == entries;
        },
        20000));
    EXPECT_EQ(wait_question(3000), nullptr) << "asked under the exception report";

    // Closing the report ends the program.
    press(report, IDOK);
    EXPECT_EQ(panel->wait_exit(10000), 0xFFFFFFFFu);
    EXPECT_TRUE(temp.entries().empty()) << narrow_list(temp.entries()).c_str();
}
