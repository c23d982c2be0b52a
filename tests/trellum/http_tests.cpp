#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <new>
#include <string>
#include <vector>

#include <windows.h>

#include "corun/blocking_wait.h"
#include "trellum/http_client.h"

namespace Trellum::details {
// Reaches the client's pending field and the context of its latest request.
struct http_client_probe {
    static async_operation* pending(HttpClient& client) { return client.pending_.load(); }
    static DWORD_PTR latest_context(HttpClient& client)
    {
        return reinterpret_cast<DWORD_PTR>(&client.contexts_.back());
    }
    static void check_status(const unique_hinternet& request) { HttpClient::check_status(request); }
};
} // namespace Trellum::details

namespace {

using Trellum::details::HttpClient;
using Trellum::details::http_client_probe;
using Trellum::details::unique_file;

std::wstring base_url()
{
    std::ifstream in("http_server.port");
    int port = 0;
    in >> port;
    return L"http://127.0.0.1:" + std::to_wstring(port);
}

// One client per test, held as the update check holds it.
struct client_ref {
    HttpClient* client = new HttpClient;
    client_ref()
    {
        client->AddRef();
        EXPECT_TRUE(client->open(base_url()));
    }
    ~client_ref() { client->Release(); }
    HttpClient* operator->() const { return client; }
};

long error_of(auto&& call)
{
    try {
        call();
    } catch (const corun::details::hresult_error& e) {
        return e.code();
    }
    return 0;
}

std::wstring temp_file(const wchar_t* name)
{
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    std::wstring path = std::wstring(dir) + L"wharf_http_" + name + L"_" + std::to_wstring(GetCurrentProcessId());
    DeleteFileW(path.c_str());
    DeleteFileW((path + L".partial").c_str());
    return path;
}

bool exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string read_file(const std::wstring& path)
{
    std::string data;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return data;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got)
        data.append(buffer, got);
    CloseHandle(h);
    return data;
}

void write_file(const std::wstring& path, const std::string& data)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    CloseHandle(h);
}

std::string pattern(std::size_t size)
{
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>((i * 7 + 3) % 251);
    return s;
}

TEST(HttpClient, QueryInterfaceGivesOnlyItsOwnInterfaces)
{
    client_ref c;
    IUnknown* unknown = nullptr;
    ASSERT_EQ(c->QueryInterface(__uuidof(IUnknown), reinterpret_cast<void**>(&unknown)), S_OK);
    EXPECT_EQ(unknown, static_cast<Trellum::IHttpClient*>(c.client));
    EXPECT_EQ(unknown->Release(), 1u);
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(c->QueryInterface(__uuidof(IDispatch), &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
}

TEST(HttpClient, GetJsonParsesOkDocumentAndSendsJsonAccept)
{
    client_ref c;
    corun::cancellation_source source;
    nlohmann::json doc = corun::details::wait_get(c->get_json(L"/json", source));
    EXPECT_EQ(doc["Version"].get<unsigned>(), 102030004u);
    EXPECT_EQ(doc["Url"].get<std::string>(), "http://x/y");
    nlohmann::json accept = corun::details::wait_get(c->get_json(L"/accept", source));
    EXPECT_NE(accept["accept"].get<std::string>().find("application/json"), std::string::npos);
}

TEST(HttpClient, EmptyBaseUrlTakesPathAsWholeUrl)
{
    client_ref c;
    ASSERT_TRUE(c->open(L""));
    corun::cancellation_source source;
    nlohmann::json doc = corun::details::wait_get(c->get_json(base_url() + L"/json", source));
    EXPECT_EQ(doc["Url"].get<std::string>(), "http://x/y");
}

TEST(HttpClient, ErrorStatusFailsWithInvalidArgAndClientStaysUsable)
{
    client_ref c;
    corun::cancellation_source source;
    EXPECT_EQ(error_of([&] { corun::details::wait_get(c->get_json(L"/404", source)); }), E_INVALIDARG);
    EXPECT_EQ(error_of([&] { corun::details::wait_get(c->get_json(L"/500", source)); }), E_INVALIDARG);
    EXPECT_NO_THROW(corun::details::wait_get(c->get_json(L"/json", source)));
}

// A handle whose status cannot be queried (here: not a request at all) must fail the request
// instead of letting its body through as if the status were 200.
TEST(HttpClient, UnreadableStatusIsAFailureNotSuccess)
{
    Trellum::details::unique_hinternet session(
        InternetOpenW(L"wharf test", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    ASSERT_TRUE(session);
    const long hr = error_of([&] { http_client_probe::check_status(session); });
    EXPECT_NE(hr, 0);
    EXPECT_NE(hr, E_INVALIDARG);
}

TEST(HttpClient, DocumentLimitIs64KiB)
{
    client_ref c;
    corun::cancellation_source source;
    nlohmann::json doc = corun::details::wait_get(c->get_json(L"/exact64k", source));
    EXPECT_EQ(doc.get<std::string>().size(), 65534u);
    EXPECT_EQ(error_of([&] { corun::details::wait_get(c->get_json(L"/over64k", source)); }),
              HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
}

TEST(HttpClient, EmptyBodyIsAParseError)
{
    client_ref c;
    corun::cancellation_source source;
    EXPECT_THROW(corun::details::wait_get(c->get_json(L"/empty", source)), nlohmann::json::parse_error);
}

TEST(HttpClient, DownloadWritesWholeBodyAndHandsOutLockedFile)
{
    client_ref c;
    corun::cancellation_source source;
    const std::wstring target = temp_file(L"download");
    unique_file kept;
    EXPECT_TRUE(corun::details::wait_get(c->download_file(L"/download", target, source, &kept)));
    ASSERT_TRUE(kept);
    EXPECT_FALSE(exists(target + L".partial"));

    // Others may read (and so start) the file but neither write nor delete it while it is held.
    EXPECT_TRUE(read_file(target) == pattern(200000));
    HANDLE writer = CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(DeleteFileW(target.c_str()));
    HANDLE starter = CreateFileW(target.c_str(), GENERIC_READ | GENERIC_EXECUTE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(starter, INVALID_HANDLE_VALUE);
    if (starter != INVALID_HANDLE_VALUE)
        CloseHandle(starter);

    // The handle reads the body from its start.
    char first[4] = {};
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(kept.get(), first, sizeof first, &got, nullptr));
    EXPECT_EQ(std::string(first, got), pattern(4));
    kept.reset();
    EXPECT_TRUE(DeleteFileW(target.c_str()));
}

TEST(HttpClient, DownloadReplacesExistingTargetOnlyWhenComplete)
{
    client_ref c;
    corun::cancellation_source source;
    const std::wstring target = temp_file(L"replace");
    write_file(target, "old content");

    bool threw = false;
    try {
        corun::details::wait_get(c->download_file(L"/cut", target, source));
    } catch (const corun::details::hresult_error&) {
        threw = true;
    }
    EXPECT_TRUE(threw);
    EXPECT_EQ(read_file(target), "old content");
    EXPECT_FALSE(exists(target + L".partial"));

    EXPECT_TRUE(corun::details::wait_get(c->download_file(L"/download", target, source)));
    EXPECT_TRUE(read_file(target) == pattern(200000));
    DeleteFileW(target.c_str());
}

TEST(HttpClient, FailedDownloadsLeaveNoFile)
{
    client_ref c;
    corun::cancellation_source source;
    for (const wchar_t* path : {L"/cut", L"/404"}) {
        const std::wstring target = temp_file(L"failed");
        EXPECT_NE(error_of([&] { corun::details::wait_get(c->download_file(path, target, source)); }), 0) << path;
        EXPECT_FALSE(exists(target)) << path;
        EXPECT_FALSE(exists(target + L".partial")) << path;
    }
}

TEST(HttpClient, EmptyBodyDownloadsToEmptyFile)
{
    client_ref c;
    corun::cancellation_source source;
    const std::wstring target = temp_file(L"empty");
    EXPECT_TRUE(corun::details::wait_get(c->download_file(L"/empty", target, source)));
    EXPECT_TRUE(exists(target));
    EXPECT_EQ(read_file(target), "");
    DeleteFileW(target.c_str());
}

TEST(HttpClient, CancelledSourceBeforeStartCreatesNothing)
{
    client_ref c;
    corun::cancellation_source source;
    source.cancel();
    const std::wstring target = temp_file(L"cancelled");
    EXPECT_EQ(error_of([&] { corun::details::wait_get(c->download_file(L"/download", target, source)); }),
              corun::details::cancelled_hresult);
    EXPECT_FALSE(exists(target));
    EXPECT_FALSE(exists(target + L".partial"));
    EXPECT_EQ(error_of([&] { corun::details::wait_get(c->get_json(L"/json", source)); }),
              corun::details::cancelled_hresult);
}

// Waits until the client has an operation pending that opens the URL (reading false) or reads
// its body (reading true). Between two steps of a request nothing is pending for a moment.
Trellum::details::async_operation* wait_for_pending(HttpClient& client, bool reading)
{
    const ULONGLONG deadline = GetTickCount64() + 20000;
    while (GetTickCount64() < deadline) {
        Trellum::details::async_operation* op = http_client_probe::pending(client);
        if (op && (op->expected_handle() != nullptr) == reading)
            return op;
        Sleep(1);
    }
    return nullptr;
}

void release_held_request(const corun::cancellation_source& source)
{
    client_ref releaser;
    corun::details::wait_get(releaser->get_json(L"/release", source));
}

void complete_late(HINTERNET handle, DWORD_PTR context)
{
    INTERNET_ASYNC_RESULT stale{1, 0};
    HttpClient::status_callback(handle, context, INTERNET_STATUS_REQUEST_COMPLETE, &stale, sizeof stale);
}

// A completion that belongs to no waiting operation resumes nobody: one of an earlier request
// (even for the same handle value, which WinINet may give out again), or one for another
// handle. Taken, it would hand the URL request a made-up handle, or end a read early while
// WinINet still writes into its buffer. The held request goes on to deliver its own document.
TEST(HttpClient, LateCompletionCompletesOnlyTheOperationItBelongsTo)
{
    client_ref c;
    corun::cancellation_source source;
    corun::details::wait_get(c->get_json(L"/json", source));
    const DWORD_PTR earlier = http_client_probe::latest_context(*c.client);
    const auto foreign = reinterpret_cast<HINTERNET>(0x4711);

    complete_late(foreign, earlier); // nothing in flight
    EXPECT_EQ(http_client_probe::pending(*c.client), nullptr);

    // The server holds back its answer: opening the URL stays pending.
    auto held = c->get_json(L"/hold", source);
    Trellum::details::async_operation* op = wait_for_pending(*c.client, false);
    ASSERT_NE(op, nullptr);
    EXPECT_NE(op->context_value(), earlier);
    complete_late(foreign, earlier);
    EXPECT_FALSE(held.ready());
    EXPECT_EQ(http_client_probe::pending(*c.client), op);

    // Then it holds back the second half of the body: a read stays pending.
    release_held_request(source);
    op = wait_for_pending(*c.client, true);
    ASSERT_NE(op, nullptr);
    complete_late(op->expected_handle(), earlier);
    complete_late(foreign, op->context_value());
    EXPECT_FALSE(held.ready());

    release_held_request(source);
    nlohmann::json doc = corun::details::wait_get(held);
    EXPECT_TRUE(doc["end"].get<bool>());
    EXPECT_EQ(doc["part"].get<std::string>().size(), 1000u);
    EXPECT_EQ(http_client_probe::pending(*c.client), nullptr);
}

// A request holds its client until it has ended, so the caller may let go of its own
// reference meanwhile; and it keeps its own copy of the cancellation source, whose caller's
// object may be gone once the request has started.
TEST(HttpClient, RequestOutlivesTheCallersClientAndSource)
{
    auto* client = new HttpClient;
    client->AddRef();
    ASSERT_TRUE(client->open(base_url()));
    alignas(corun::cancellation_source) std::byte storage[sizeof(corun::cancellation_source)];
    auto* source = new (storage) corun::cancellation_source;
    auto held = client->get_json(L"/hold", *source);
    source->~cancellation_source();
    std::memset(storage, 0xA5, sizeof storage);

    client->AddRef();
    EXPECT_EQ(client->Release(), 2u); // the caller's reference and the request's
    EXPECT_EQ(client->Release(), 1u);

    corun::cancellation_source other;
    release_held_request(other);
    ASSERT_NE(wait_for_pending(*client, true), nullptr);
    release_held_request(other);
    nlohmann::json doc = corun::details::wait_get(held);
    EXPECT_EQ(doc["part"].get<std::string>().size(), 1000u);
}

// Completions arrive on WinINet's threads, sometimes before the starting call has returned;
// every request must still complete exactly once with its own data.
TEST(HttpClient, BackToBackRequestsEachCompleteWithTheirOwnData)
{
    client_ref c;
    corun::cancellation_source source;
    const std::wstring target = temp_file(L"loop");
    for (int i = 0; i < 30; ++i) {
        nlohmann::json doc = corun::details::wait_get(c->get_json(L"/json", source));
        ASSERT_EQ(doc["Version"].get<unsigned>(), 102030004u) << i;
        ASSERT_EQ(error_of([&] { corun::details::wait_get(c->get_json(L"/404", source)); }), E_INVALIDARG) << i;
        ASSERT_TRUE(corun::details::wait_get(c->download_file(L"/download", target, source))) << i;
        ASSERT_EQ(http_client_probe::pending(*c.client), nullptr) << i;
    }
    EXPECT_TRUE(read_file(target) == pattern(200000));
    DeleteFileW(target.c_str());
}

TEST(HttpClient, ExtraRequestFails)
{
    client_ref c;
    EXPECT_EQ(error_of([&] { corun::details::wait_get(c->extra_request(L"", "", "")); }), E_NOTIMPL);
}

} // namespace
