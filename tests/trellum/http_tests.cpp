#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include <winsock2.h>
#include <windows.h>

#include "../../trellum/src/http_request.h"
#include "../support/import_patch.h"
#include "corun/blocking_wait.h"
#include "trellum/http_client.h"

// Freed memory is overwritten, so that a callback that reaches an object already gone reads
// garbage pointers and crashes instead of passing by luck.
void* operator new(std::size_t size)
{
    if (void* p = HeapAlloc(GetProcessHeap(), 0, size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept
{
    if (p) {
        std::memset(p, 0xA5, HeapSize(GetProcessHeap(), 0, p));
        HeapFree(GetProcessHeap(), 0, p);
    }
}
void operator delete(void* p, std::size_t) noexcept
{
    operator delete(p);
}

namespace {

using Trellum::details::HttpClient;
using Trellum::details::unique_file;

std::wstring server_port()
{
    std::ifstream in("http_server.port");
    int port = 0;
    in >> port;
    return std::to_wstring(port);
}

std::wstring base_url()
{
    return L"http://127.0.0.1:" + server_port();
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
    const long hr = error_of([&] { Trellum::details::check_status(session.get()); });
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

// Watches the client's WinINet calls from the test program's import table: opens and reads
// that go pending, the handles whose last callback has come, and, when asked, the late completion
// that WinINet may still send for a read that returned its data at once.
class wininet_watch {
public:
    wininet_watch()
    {
        instance_ = this;
        EXPECT_TRUE(read_.active());
        EXPECT_TRUE(callback_.active());
        EXPECT_TRUE(open_.active());
        EXPECT_TRUE(close_.active());
    }
    wininet_watch(const wininet_watch&) = delete;
    wininet_watch& operator=(const wininet_watch&) = delete;
    ~wininet_watch() { instance_ = nullptr; }

    // From now on, every read that goes pending first meets a late completion of the read
    // before it on the same handle, which has ended already (as WinINet may send for a read
    // that returned its data at once).
    bool late_completions = false;

    // The reads of the request for a URL that holds marker overlap: the first of them that goes
    // pending stays in its call until the next one has started, which then stays in its call,
    // before reaching WinINet, until let_reads_go (each wait bounded).
    void overlap_reads_of(std::wstring marker)
    {
        std::lock_guard guard(lock_);
        marker_ = std::move(marker);
    }
    // Waits until the second read has started and the first has returned since.
    bool wait_overlap(DWORD ms) const { return wait([&] { return first_returned_.load(); }, ms); }
    void let_reads_go() { reads_go_ = true; }
    // The request handle of the marked URL was closed while one of its reads was in its call.
    bool closed_under_a_call() const { return closed_under_call_; }
    HINTERNET marked_handle() const { return marked_handle_; }

    // Waits until opening a URL has gone pending count times in all.
    bool wait_pending_opens(int count, DWORD ms) const { return wait([&] { return pending_opens_ >= count; }, ms); }
    // Waits until reads have gone pending count times in all.
    bool wait_pending_reads(int count, DWORD ms) const { return wait([&] { return pending_reads_ >= count; }, ms); }
    bool wait_closed(HINTERNET handle, DWORD ms) const
    {
        return wait(
            [&] {
                std::lock_guard guard(lock_);
                for (HINTERNET h : closed_)
                    if (h == handle)
                        return true;
                return false;
            },
            ms);
    }
    // Waits until every handle that WinINet reported created has been reported closing; false
    // also when none was created.
    bool wait_created_closed(DWORD ms) const
    {
        return wait(
            [&] {
                std::lock_guard guard(lock_);
                if (created_.empty())
                    return false;
                for (HINTERNET made : created_) {
                    bool closed = false;
                    for (HINTERNET h : closed_)
                        closed = closed || h == made;
                    if (!closed)
                        return false;
                }
                return true;
            },
            ms);
    }
    HINTERNET last_pending_handle() const
    {
        std::lock_guard guard(lock_);
        return last_pending_;
    }
    bool wait_late_completions(int count, DWORD ms) const { return wait([&] { return late_sent_ >= count; }, ms); }

private:
    static bool wait(auto&& done, DWORD ms)
    {
        const ULONGLONG deadline = GetTickCount64() + ms;
        while (!done()) {
            if (GetTickCount64() > deadline)
                return false;
            Sleep(5);
        }
        return true;
    }

    static BOOL WINAPI read_file(HINTERNET handle, void* buffer, DWORD size, DWORD* read)
    {
        wininet_watch& self = *instance_;
        DWORD_PTR context = 0;
        DWORD length = sizeof context;
        InternetQueryOptionW(handle, INTERNET_OPTION_CONTEXT_VALUE, &context, &length);
        const bool marked = handle && handle == self.marked_handle_;
        bool second = false;
        if (marked) {
            ++self.inside_;
            if (self.first_held_ && !self.second_entered_.exchange(true)) {
                second = true;
                wait([&] { return self.reads_go_.load(); }, 20000);
            }
        }
        const BOOL done = self.read_.original<decltype(InternetReadFile)>()(handle, buffer, size, read);
        const DWORD error = GetLastError();
        DWORD_PTR earlier = 0;
        {
            std::lock_guard guard(self.lock_);
            // Other clients of the case (the releases) read at the same time.
            bool found = false;
            for (auto& [h, c] : self.last_reads_)
                if (h == handle) {
                    earlier = std::exchange(c, context);
                    found = true;
                }
            if (!found)
                self.last_reads_.emplace_back(handle, context);
            if (!done && error == ERROR_IO_PENDING)
                self.last_pending_ = handle;
        }
        if (!done && error == ERROR_IO_PENDING) {
            if (self.late_completions && earlier && real_) {
                INTERNET_ASYNC_RESULT late{TRUE, 0};
                real_(handle, earlier, INTERNET_STATUS_REQUEST_COMPLETE, &late, sizeof late);
                ++self.late_sent_;
            }
            ++self.pending_reads_;
        }
        if (marked && !second && !done && error == ERROR_IO_PENDING && !self.first_held_.exchange(true)) {
            wait([&] { return self.second_entered_.load(); }, 20000);
            self.first_returned_ = self.second_entered_.load();
        }
        if (marked)
            --self.inside_;
        SetLastError(error);
        return done;
    }

    static HINTERNET WINAPI open_url(HINTERNET session, const wchar_t* url, const wchar_t* headers, DWORD length,
                                     DWORD flags, DWORD_PTR context)
    {
        wininet_watch& self = *instance_;
        {
            // Before the call: WinINet may report the new handle before the call has returned.
            std::lock_guard guard(self.lock_);
            if (!self.marker_.empty() && std::wstring(url).find(self.marker_) != std::wstring::npos)
                self.marked_context_ = context;
        }
        HINTERNET opened =
            self.open_.original<decltype(InternetOpenUrlW)>()(session, url, headers, length, flags, context);
        const DWORD error = GetLastError();
        if (!opened && error == ERROR_IO_PENDING)
            ++self.pending_opens_;
        SetLastError(error);
        return opened;
    }

    static INTERNET_STATUS_CALLBACK WINAPI set_callback(HINTERNET session, INTERNET_STATUS_CALLBACK callback)
    {
        wininet_watch& self = *instance_;
        real_ = callback;
        return self.callback_.original<decltype(InternetSetStatusCallbackW)>()(session, &status);
    }

    static void CALLBACK status(HINTERNET handle, DWORD_PTR context, DWORD code, void* information, DWORD length)
    {
        real_(handle, context, code, information, length);
        wininet_watch* self = instance_;
        if (!self)
            return;
        std::lock_guard guard(self->lock_);
        if (code == INTERNET_STATUS_HANDLE_CLOSING)
            self->closed_.push_back(handle);
        // The new handle comes alone or as an INTERNET_ASYNC_RESULT: first either way.
        if (code == INTERNET_STATUS_HANDLE_CREATED && information && length >= sizeof(HINTERNET)) {
            self->created_.push_back(*static_cast<const HINTERNET*>(information));
            if (self->marked_context_ && context == self->marked_context_)
                self->marked_handle_ = *static_cast<const HINTERNET*>(information);
        }
    }

    static BOOL WINAPI close_handle(HINTERNET handle)
    {
        wininet_watch& self = *instance_;
        if (handle && handle == self.marked_handle_ && self.inside_ > 0)
            self.closed_under_call_ = true;
        return self.close_.original<decltype(InternetCloseHandle)>()(handle);
    }

    static inline wininet_watch* instance_ = nullptr;
    import_patch read_{GetModuleHandleW(nullptr), "wininet.dll", "InternetReadFile", reinterpret_cast<void*>(&read_file)};
    import_patch callback_{GetModuleHandleW(nullptr), "wininet.dll", "InternetSetStatusCallbackW",
                           reinterpret_cast<void*>(&set_callback)};
    import_patch open_{GetModuleHandleW(nullptr), "wininet.dll", "InternetOpenUrlW", reinterpret_cast<void*>(&open_url)};
    import_patch close_{GetModuleHandleW(nullptr), "wininet.dll", "InternetCloseHandle",
                        reinterpret_cast<void*>(&close_handle)};
    static inline INTERNET_STATUS_CALLBACK real_ = nullptr; // the client's, which outlives the watch
    mutable std::mutex lock_;
    std::vector<HINTERNET> closed_;
    std::vector<HINTERNET> created_;
    HINTERNET last_pending_ = nullptr;
    std::vector<std::pair<HINTERNET, DWORD_PTR>> last_reads_; // a handle's latest read's context
    std::atomic<int> pending_reads_{0};
    std::atomic<int> pending_opens_{0};
    std::atomic<int> late_sent_{0};
    std::wstring marker_;
    DWORD_PTR marked_context_ = 0;
    std::atomic<HINTERNET> marked_handle_{nullptr};
    std::atomic<int> inside_{0};
    std::atomic<bool> first_held_{false};
    std::atomic<bool> second_entered_{false};
    std::atomic<bool> first_returned_{false};
    std::atomic<bool> reads_go_{false};
    std::atomic<bool> closed_under_call_{false};
};

// A hold of the test server of this case alone: cases running side by side release only their own.
std::wstring hold_name()
{
    static std::atomic<int> made{0};
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(test->name()) + "_" + std::to_string(GetCurrentProcessId()) + "_" +
                       std::to_string(++made);
    return std::wstring(name.begin(), name.end());
}

void release_hold(const std::wstring& hold)
{
    client_ref releaser;
    corun::cancellation_source source;
    corun::details::wait_get(releaser->get_json(L"/release?id=" + hold, source));
}

bool ready_within(const auto& future, DWORD ms)
{
    const ULONGLONG deadline = GetTickCount64() + ms;
    while (!future.ready()) {
        if (GetTickCount64() > deadline)
            return false;
        Sleep(5);
    }
    return true;
}

// WinINet may complete a read that returned its data at once later still. That completion
// must not end the read pending after it: that read would report 0 bytes, the document would
// be parsed cut, and its buffer freed while WinINet still writes into it.
TEST(HttpClient, LateCompletionOfAnEarlierReadResumesOnlyThatRead)
{
    wininet_watch watch;
    client_ref c;
    watch.late_completions = true;
    corun::cancellation_source source;
    const std::wstring hold = hold_name();
    const std::wstring target = temp_file(L"late");
    // The server sends the first half of the body, then holds the rest back: the read after
    // the first chunk waits, and meets the first chunk's late completion.
    auto held = c->download_file(L"/halves?id=" + hold, target, source);
    ASSERT_TRUE(watch.wait_late_completions(1, 20000));
    EXPECT_FALSE(held.ready());

    release_hold(hold);
    EXPECT_TRUE(corun::details::wait_get(held));
    EXPECT_TRUE(read_file(target) == pattern(200000));
    DeleteFileW(target.c_str());
}

// A request holds its client until it has ended, so the caller may let go of its own
// reference meanwhile; and it keeps its own copy of the cancellation source, whose caller's
// object may be gone once the request has started.
TEST(HttpClient, RequestOutlivesTheCallersClientAndSource)
{
    wininet_watch watch;
    auto* client = new HttpClient;
    client->AddRef();
    ASSERT_TRUE(client->open(base_url()));
    const std::wstring hold = hold_name();
    alignas(corun::cancellation_source) std::byte storage[sizeof(corun::cancellation_source)];
    auto* source = new (storage) corun::cancellation_source;
    auto held = client->get_json(L"/hold?id=" + hold, *source);
    source->~cancellation_source();
    std::memset(storage, 0xA5, sizeof storage);

    client->AddRef();
    EXPECT_EQ(client->Release(), 2u); // the caller's reference and the request's
    EXPECT_EQ(client->Release(), 1u);

    release_hold(hold);
    ASSERT_TRUE(watch.wait_pending_reads(1, 20000));
    release_hold(hold);
    nlohmann::json doc = corun::details::wait_get(held);
    EXPECT_EQ(doc["part"].get<std::string>().size(), 1000u);
}

// A cancellation ends the request at once while WinINet still waits for the server, in every
// step: opening the URL and reading the body. A download then leaves no file.
TEST(HttpClient, CancellationEndsAWaitingRequestAtOnceAndLeavesNoFile)
{
    wininet_watch watch;
    client_ref c;
    {
        corun::cancellation_source source;
        const std::wstring hold = hold_name();
        auto opening = c->get_json(L"/hold?id=" + hold, source);
        ASSERT_TRUE(watch.wait_pending_opens(1, 20000));
        source.cancel();
        EXPECT_TRUE(ready_within(opening, 10000)) << "opening the URL goes on after the cancellation";
        EXPECT_EQ(error_of([&] { corun::details::wait_get(opening); }), corun::details::cancelled_hresult);
        release_hold(hold);
        release_hold(hold);
    }
    corun::cancellation_source source;
    const std::wstring hold = hold_name();
    const std::wstring target = temp_file(L"cancelled_read");
    auto reading = c->download_file(L"/hold?id=" + hold, target, source);
    release_hold(hold);
    ASSERT_TRUE(watch.wait_pending_reads(1, 20000));
    source.cancel();
    EXPECT_TRUE(ready_within(reading, 10000)) << "a pending read goes on after the cancellation";
    EXPECT_EQ(error_of([&] { corun::details::wait_get(reading); }), corun::details::cancelled_hresult);
    EXPECT_FALSE(exists(target));
    EXPECT_FALSE(exists(target + L".partial"));
    release_hold(hold);
}

// A read's completion may resume the request before the read's own call has returned, and the
// request then starts its next read. A cancellation meanwhile must not close the request handle
// under that next read, still in its call: the handle closes once no call uses it.
TEST(HttpClient, CancellationNeverClosesTheHandleUnderACallStillRunning)
{
    wininet_watch watch;
    client_ref c;
    corun::cancellation_source source;
    const std::wstring hold = hold_name();
    watch.overlap_reads_of(L"/hold?id=" + hold);
    auto held = c->get_json(L"/hold?id=" + hold, source);
    release_hold(hold);
    ASSERT_TRUE(watch.wait_pending_reads(1, 20000));
    release_hold(hold);
    ASSERT_TRUE(watch.wait_overlap(20000)) << "no read started while the one before was in its call";
    source.cancel();
    EXPECT_TRUE(ready_within(held, 10000));
    EXPECT_EQ(error_of([&] { corun::details::wait_get(held); }), corun::details::cancelled_hresult);
    EXPECT_FALSE(watch.closed_under_a_call());
    watch.let_reads_go();
    EXPECT_TRUE(watch.wait_closed(watch.marked_handle(), 20000));
}

// What WinINet holds of a request (the contexts it calls back with, the buffer it writes into)
// lives until its last callback for the request's handle, also when the request and the client
// have ended long before: here a cancelled read completes only after the client is gone.
TEST(HttpClient, CallbacksAfterTheClientIsGoneFindTheirContexts)
{
    wininet_watch watch;
    HINTERNET handle = nullptr;
    {
        auto* client = new HttpClient;
        client->AddRef();
        ASSERT_TRUE(client->open(base_url()));
        corun::cancellation_source source;
        const std::wstring hold = hold_name();
        auto held = client->get_json(L"/hold?id=" + hold, source);
        client->Release(); // the request's reference is the last
        release_hold(hold);
        ASSERT_TRUE(watch.wait_pending_reads(1, 20000));
        handle = watch.last_pending_handle();
        source.cancel();
        ASSERT_TRUE(ready_within(held, 10000));
        EXPECT_EQ(error_of([&] { corun::details::wait_get(held); }), corun::details::cancelled_hresult);
        held = {}; // the request's frame, and with it the client, are gone
        release_hold(hold); // WinINet now completes the read it still had
    }
    EXPECT_TRUE(watch.wait_closed(handle, 20000)) << "WinINet's last callback for the request";
}

// A port of 127.0.0.1 that refuses connections: bound, so that nobody else takes it, but not
// listening.
class refused_port {
public:
    refused_port()
    {
        WSADATA data;
        started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
        socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        if (socket_ != INVALID_SOCKET &&
            bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port_ = ntohs(address.sin_port);
    }
    refused_port(const refused_port&) = delete;
    refused_port& operator=(const refused_port&) = delete;
    ~refused_port()
    {
        if (socket_ != INVALID_SOCKET)
            closesocket(socket_);
        if (started_)
            WSACleanup();
    }
    unsigned short port() const { return port_; }

private:
    bool started_ = false;
    SOCKET socket_ = INVALID_SOCKET;
    unsigned short port_ = 0;
};

// An open that fails (nothing listens, TLS spoken to a plain HTTP server, a name that cannot
// resolve) still leaves WinINet a request handle, which it calls back for with the open's
// context until the handle closes. The request closes that handle itself, and its records
// outlive WinINet's last callback, also when the caller releases the client (and with it the
// session) right after the failure.
TEST(HttpClient, FailedOpenClosesTheHandleWinINetKeptAndOutlivesItsCallbacks)
{
    refused_port refused;
    ASSERT_NE(refused.port(), 0);
    const std::wstring urls[] = {
        L"http://127.0.0.1:" + std::to_wstring(refused.port()) + L"/json",
        L"https://127.0.0.1:" + server_port() + L"/json",
        L"http://wharf-test.invalid/json",
    };
    for (const std::wstring& url : urls) {
        wininet_watch watch;
        auto* client = new HttpClient;
        client->AddRef();
        ASSERT_TRUE(client->open(L""));
        corun::cancellation_source source;
        const long hr = error_of([&] { corun::details::wait_get(client->get_json(url, source)); });
        EXPECT_EQ(HRESULT_FACILITY(hr), FACILITY_WIN32) << url;
        EXPECT_GE(HRESULT_CODE(hr), INTERNET_ERROR_BASE) << url;
        EXPECT_LE(HRESULT_CODE(hr), INTERNET_ERROR_LAST) << url;
        EXPECT_TRUE(watch.wait_created_closed(10000)) << url << ": the handle WinINet kept stays open";
        client->Release(); // closes the session, whose closing reaches what is still open under it
    }
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
