#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "corun/blocking_wait.h"
#include "../support/import_patch.h"
#include "script_host.h"
#include "server/sim_server_process.h"
#include "wharfcore/wharfcore.h"
#include "wharfcore_under_test.h"

namespace {

constexpr HRESULT bad_reply = static_cast<HRESULT>(0x8007000D);

class bstr {
public:
    explicit bstr(const wchar_t* text) : value_(SysAllocString(text)) {}
    ~bstr() { SysFreeString(value_); }
    operator BSTR() const { return value_; }

private:
    BSTR value_;
};

IRemotePortLibrary* create_library()
{
    IRemotePortLibrary* library = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_RemotePortLibrary, nullptr, CLSCTX_ALL, __uuidof(IRemotePortLibrary),
                               reinterpret_cast<void**>(&library)),
              S_OK);
    return library;
}

// True once the coroutine behind the future has run to its end and waits only for the future
// to be released; false after ten seconds.
template <class T> bool wait_until_finished(corun::details::future<T>& f)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        {
            std::lock_guard guard(f.state().lock);
            if (f.state().own_handle)
                return true;
        }
        if (std::chrono::steady_clock::now() > end)
            return false;
        Sleep(1);
    }
}

// COM unloads the library once nothing holds it; bounded, since pool callbacks that are
// still returning through it keep it for a moment.
bool unloaded_within(std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        CoFreeUnusedLibrariesEx(0, 0);
        if (!GetModuleHandleW(L"wharfcore.dll"))
            return true;
        if (std::chrono::steady_clock::now() > end)
            return false;
        Sleep(10);
    }
}

ULONG count_of(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

std::wstring name_of(IRemotePortDescription* port)
{
    BSTR name = nullptr;
    port->get_name(&name);
    std::wstring result = name ? name : L"";
    SysFreeString(name);
    return result;
}

struct remote_query : ::testing::Test {
    com_apartment com;
    registered_wharfcore dll{registered_wharfcore::loaded::by_com_only};
    IRemotePortLibrary* library = create_library();
    ~remote_query() override
    {
        if (library)
            library->Release();
    }
};

} // namespace

TEST_F(remote_query, SafeArrayHoldsTheServersPortsInReplyOrder)
{
    for (int count : {0, 1, 3}) {
        std::wstring ports;
        for (int i = 0; i < count; ++i)
            ports += L" --port COM" + std::to_wstring(i + 5) + L"=" + std::to_wstring(i + 1);
        sim_server_process server(ports);
        SAFEARRAY* array = nullptr;
        ASSERT_EQ(library->getRemoteSharedPorts(bstr(L"."), &array), S_OK);
        ASSERT_NE(array, nullptr);
        LONG lower = -1, upper = -2;
        SafeArrayGetLBound(array, 1, &lower);
        SafeArrayGetUBound(array, 1, &upper);
        EXPECT_EQ(lower, 0);
        EXPECT_EQ(upper - lower + 1, count);
        VARTYPE type = VT_EMPTY;
        SafeArrayGetVartype(array, &type);
        EXPECT_EQ(type, VT_DISPATCH);
        for (LONG i = 0; i < count; ++i) {
            IDispatch* element = nullptr;
            ASSERT_EQ(SafeArrayGetElement(array, &i, &element), S_OK); // adds a reference
            EXPECT_EQ(element->Release(), 1u) << "the container holds the only reference";
            IRemotePortDescription* port = nullptr;
            ASSERT_EQ(element->QueryInterface(__uuidof(IRemotePortDescription), reinterpret_cast<void**>(&port)), S_OK);
            EXPECT_EQ(name_of(port), L"COM" + std::to_wstring(i + 5));
            UINT number = 0;
            port->get_port(&number);
            EXPECT_EQ(number, static_cast<UINT>(i + 1));
            port->Release();
        }
        SafeArrayDestroy(array);
    }
}

TEST_F(remote_query, ScriptArrayHoldsPortsReachableByName)
{
    sim_server_process server(L"--port COM5=1 --port COM9=2");
    IDispatch* array = nullptr;
    ASSERT_EQ(library->getRemoteSharedPortsJs(bstr(L"."), &array), S_OK);
    DISPPARAMS none = {};
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(array->Invoke(-100, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr), S_OK);
    EXPECT_EQ(result.lVal, 2);
    LPOLESTR index[] = {const_cast<LPOLESTR>(L"1")};
    DISPID id = 0;
    ASSERT_EQ(array->GetIDsOfNames(IID_NULL, index, 1, 0, &id), S_OK);
    ASSERT_EQ(array->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr), S_OK);
    ASSERT_EQ(result.vt, VT_DISPATCH);
    IDispatch* element = result.pdispVal;
    EXPECT_EQ(count_of(element), 2u); // the array's and the copy in result
    LPOLESTR name[] = {const_cast<LPOLESTR>(L"name")};
    ASSERT_EQ(element->GetIDsOfNames(IID_NULL, name, 1, 0, &id), S_OK);
    VARIANT text;
    VariantInit(&text);
    ASSERT_EQ(element->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &text, nullptr, nullptr), S_OK);
    EXPECT_STREQ(text.bstrVal, L"COM9");
    VariantClear(&text);
    VariantClear(&result);
    EXPECT_EQ(array->Release(), 0u);
}

TEST_F(remote_query, UnreachableHostsAndBadArgumentsFailWithoutWritingTheResult)
{
    SAFEARRAY* array = reinterpret_cast<SAFEARRAY*>(1);
    ASSERT_TRUE(service_pipe_free()) << "a server that an earlier test left still listens on the service pipe";
    // No service: the open's error.
    EXPECT_EQ(library->getRemoteSharedPorts(bstr(L"."), &array), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(array, reinterpret_cast<SAFEARRAY*>(1));
    // A null host is an empty one, and fails with the open's error too.
    EXPECT_TRUE(FAILED(library->getRemoteSharedPorts(nullptr, &array)));
    EXPECT_EQ(array, reinterpret_cast<SAFEARRAY*>(1));
    EXPECT_EQ(library->getRemoteSharedPorts(bstr(L"."), nullptr), E_POINTER);
    EXPECT_EQ(library->getRemoteSharedPortsJs(bstr(L"."), nullptr), E_POINTER);
}

TEST_F(remote_query, ServerClosingWithoutReplyAndMalformedRepliesFailPromptly)
{
    {
        sim_server_process server(L"--mode close --port COM1=1");
        SAFEARRAY* array = nullptr;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(FAILED(library->getRemoteSharedPorts(bstr(L"."), &array)));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    }
    for (const wchar_t* mode : {L"bad-count", L"bad-name", L"short"}) {
        sim_server_process server(std::wstring(L"--mode ") + mode + L" --port COM1=1");
        IDispatch* array = nullptr;
        EXPECT_EQ(library->getRemoteSharedPortsJs(bstr(L"."), &array), bad_reply) << std::wstring(mode).size();
        EXPECT_EQ(array, nullptr);
    }
}

TEST_F(remote_query, PendingAsyncQueryCanBeReleased)
{
    sim_server_process server(L"--mode never --port COM1=1");
    IRemotePortLibraryEx* ex = nullptr;
    ASSERT_EQ(library->QueryInterface(__uuidof(IRemotePortLibraryEx), reinterpret_cast<void**>(&ex)), S_OK);
    {
        auto query = ex->getRemoteSharedPortsAsync(L".");
        EXPECT_FALSE(query.ready());
    }
    // The query ends by itself once the pipe breaks, and then lets the library go.
    server.stop();
    ex->Release();
    library->Release();
    library = nullptr;
    EXPECT_TRUE(unloaded_within(std::chrono::seconds(10)));
}

TEST_F(remote_query, QueryKeepsTheModuleLoadedUntilItsFutureIsReleased)
{
    library->Release();
    library = nullptr;
    sim_server_process server(L"--port COM1=1 --clients 1000");
    for (int i = 0; i < 50; ++i) {
        IRemotePortLibraryEx* ex = nullptr;
        ASSERT_EQ(CoCreateInstance(CLSID_RemotePortLibrary, nullptr, CLSCTX_ALL, __uuidof(IRemotePortLibraryEx),
                                   reinterpret_cast<void**>(&ex)),
                  S_OK);
        auto query = ex->getRemoteSharedPortsAsync(L".");
        ex->Release();
        corun::details::wait_until_ready(query.state());
        if (i == 0) {
            // Once the query's own code has ended, only the future holds the module.
            ASSERT_TRUE(wait_until_finished(query));
            CoFreeUnusedLibrariesEx(0, 0);
            if (!GetModuleHandleW(L"wharfcore.dll")) {
                // Releasing it would run code that is gone.
                new corun::details::future<std::vector<SharedPortRecord>>(std::move(query));
                FAIL() << "unloaded under a live future";
            }
        }
        ASSERT_EQ(query.get().size(), 1u);
        // Releasing the future ends the frame in the library's code; what still returns on
        // the thread pool then keeps the library loaded by itself.
        query.release();
        CoFreeUnusedLibrariesEx(0, 0);
    }
    EXPECT_TRUE(unloaded_within(std::chrono::seconds(10)));
}

namespace {

// Busy blocks of every heap of this process: the C runtime's allocations (the library's
// frames, connections and records) go to a heap of its own under Wine's msvcrt, the
// platform's to the process heap.
long busy_heap_blocks()
{
    HANDLE heaps[64];
    const DWORD count = std::min<DWORD>(GetProcessHeaps(64, heaps), 64);
    long busy = 0;
    for (DWORD i = 0; i < count; ++i) {
        if (!HeapLock(heaps[i]))
            continue;
        PROCESS_HEAP_ENTRY entry{};
        while (HeapWalk(heaps[i], &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
                ++busy;
        HeapUnlock(heaps[i]);
    }
    return busy;
}

// One shared-ports exchange made the way the pipe transport makes it, with no library code:
// an overlapped open bound to a thread-pool I/O object, the request written, the reply read,
// the pipe and the I/O object closed. What the platform keeps per exchange is the floor that
// a query stands on.
class plain_pool_exchange {
public:
    plain_pool_exchange() = default;
    plain_pool_exchange(const plain_pool_exchange&) = delete;
    plain_pool_exchange& operator=(const plain_pool_exchange&) = delete;
    ~plain_pool_exchange() { CloseHandle(completed_); }

    bool run()
    {
        const HANDLE pipe = CreateFileW(service_pipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OVERLAPPED, nullptr);
        if (pipe == INVALID_HANDLE_VALUE)
            return false;
        skips_ = SetFileCompletionNotificationModes(pipe, FILE_SKIP_COMPLETION_PORT_ON_SUCCESS) != FALSE;
        const PTP_IO io = CreateThreadpoolIo(pipe, &plain_pool_exchange::complete, this, nullptr);
        bool ok = io != nullptr;
        unsigned char request[12] = {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
        unsigned char reply[256];
        ok = ok && transfer(pipe, io, true, request, sizeof request) && transfer(pipe, io, false, reply, 12);
        const DWORD length = reply[8] | reply[9] << 8 | reply[10] << 16 | reply[11] << 24;
        ok = ok && length <= sizeof reply - 12 && (length == 0 || transfer(pipe, io, false, reply + 12, length));
        CloseHandle(pipe);
        if (io) {
            WaitForThreadpoolIoCallbacks(io, TRUE);
            CloseThreadpoolIo(io);
        }
        return ok;
    }

private:
    static void CALLBACK complete(PTP_CALLBACK_INSTANCE, void* context, void*, ULONG, ULONG_PTR, PTP_IO)
    {
        SetEvent(static_cast<plain_pool_exchange*>(context)->completed_);
    }
    // Moves exactly n bytes; a byte-mode pipe may move fewer per operation.
    bool transfer(HANDLE pipe, PTP_IO io, bool write, unsigned char* buffer, DWORD n)
    {
        while (n != 0) {
            OVERLAPPED overlapped{};
            StartThreadpoolIo(io);
            const BOOL done = write ? WriteFile(pipe, buffer, n, nullptr, &overlapped)
                                    : ReadFile(pipe, buffer, n, nullptr, &overlapped);
            if (done && skips_) {
                CancelThreadpoolIo(io);
            } else if (done || GetLastError() == ERROR_IO_PENDING) {
                if (WaitForSingleObject(completed_, 10000) != WAIT_OBJECT_0)
                    return false;
            } else {
                CancelThreadpoolIo(io);
                return false;
            }
            const auto moved = static_cast<DWORD>(overlapped.InternalHigh);
            if (overlapped.Internal != 0 || moved == 0 || moved > n)
                return false;
            buffer += moved;
            n -= moved;
        }
        return true;
    }

    HANDLE completed_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    bool skips_ = false;
};

} // namespace

// A query keeps nothing once its future is gone: no frame, connection, transport, pending
// call, cancellation record or pool object. Under Wine the platform itself keeps one block
// per thread-pool I/O object, so the floor is the same exchange made without the library.
TEST_F(remote_query, RepeatedQueriesKeepNoMoreMemoryThanPlainPipeExchanges)
{
    // Each round trip costs the server a thread, some milliseconds under Wine: the queries
    // go eight at a time, with twice as many pipe instances waiting for them.
    sim_server_process server(L"--port COM5=1 --listeners 16 --lifetime-ms 300000");
    constexpr int in_flight = 8;
    constexpr int warm_up = 50;
    constexpr int queries = 2000;
    // The platform keeps the same per exchange every time, so an eighth of the exchanges
    // gives the floor of the queries.
    constexpr int plain_exchanges = queries / 8;
    // One record kept per query adds 2,000 blocks at least. The slack, half of that, covers
    // the floor's spread (Wine gives some of its blocks back later, as timing has it: 0.89 to
    // 1.0 kept per exchange were seen, and the floor scales that by eight) and what comes
    // once in a run (a pool thread started or ended, with its runtime's per-thread records).
    constexpr long slack = queries / 2;
    IRemotePortLibraryEx* ex = nullptr;
    ASSERT_EQ(library->QueryInterface(__uuidof(IRemotePortLibraryEx), reinterpret_cast<void**>(&ex)), S_OK);
    // Runs n queries, in_flight at a time; false at the first that fails.
    auto run_queries = [&](int n) {
        std::array<corun::details::future<std::vector<SharedPortRecord>>, in_flight> window;
        bool ok = true;
        for (int i = 0; i < n + in_flight; ++i) {
            auto& slot = window[i % in_flight];
            if (slot) {
                try {
                    ok = corun::details::wait_get(slot).size() == 1 && ok;
                } catch (const corun::details::hresult_error& e) {
                    ADD_FAILURE() << "query failed with " << std::hex << e.code();
                    ok = false;
                }
                slot = {};
            }
            if (i < n && ok)
                slot = ex->getRemoteSharedPortsAsync(L".");
        }
        return ok;
    };
    plain_pool_exchange plain;
    for (int i = 0; i < warm_up; ++i)
        ASSERT_TRUE(plain.run()) << "plain exchange " << i;
    ASSERT_TRUE(run_queries(warm_up));

    long before = busy_heap_blocks();
    for (int i = 0; i < plain_exchanges; ++i)
        ASSERT_TRUE(plain.run()) << "plain exchange " << i;
    const long floor = (busy_heap_blocks() - before) * (queries / plain_exchanges);

    before = busy_heap_blocks();
    ASSERT_TRUE(run_queries(queries));
    const long grown = busy_heap_blocks() - before;
    ex->Release();
    EXPECT_LE(grown, floor + slack) << "what " << queries << " plain exchanges keep: " << floor << " blocks";
    std::printf("blocks kept by %d queries: %ld; by as many plain exchanges: %ld\n", queries, grown, floor);
}

namespace {

// The library's LogonUserW: accepts anyone with a token that can be impersonated (a copy of
// this process's own), so that the check gets as far as the pipe, and records the domain.
using logon_user_fn = BOOL WINAPI(LPCWSTR, LPCWSTR, LPCWSTR, DWORD, DWORD, PHANDLE);
bool domain_was_null = true;
std::wstring domain_seen;

BOOL WINAPI logon_as_this_process(LPCWSTR, LPCWSTR domain, LPCWSTR, DWORD, DWORD, PHANDLE token)
{
    domain_was_null = !domain;
    domain_seen = domain ? domain : L"";
    HANDLE process = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process))
        return FALSE;
    const BOOL ok = DuplicateTokenEx(process, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, token);
    CloseHandle(process);
    return ok;
}

bool thread_impersonates()
{
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token))
        return false;
    CloseHandle(token);
    return true;
}

} // namespace

TEST_F(remote_query, CredentialCheckImpersonatesForThePipeAndRevertsOnEveryPath)
{
    IRemotePortLibraryEx* ex = nullptr;
    ASSERT_EQ(library->QueryInterface(__uuidof(IRemotePortLibraryEx), reinterpret_cast<void**>(&ex)), S_OK);
    {
        // Wine's own logon gives a token that cannot be impersonated.
        import_patch logon(GetModuleHandleW(L"wharfcore.dll"), "advapi32.dll", "LogonUserW",
                           reinterpret_cast<void*>(&logon_as_this_process));
        ASSERT_TRUE(logon.active());
        // No service on ".": the pipe's open fails while impersonating.
        ASSERT_TRUE(service_pipe_free()) << "a server that an earlier test left still listens on the service pipe";
        EXPECT_EQ(ex->checkCredentials(L".", L"operator", L"s3cret", L""), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
        EXPECT_FALSE(thread_impersonates());
        EXPECT_FALSE(domain_was_null) << "an empty domain went to the logon as a null pointer";
        EXPECT_EQ(domain_seen, L"");
        // A caller that was impersonating before runs under the process's token after.
        ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
        sim_server_process server(L"--port COM1=1");
        EXPECT_EQ(ex->checkCredentials(L".", L"operator", L"s3cret", L"WORKGROUP"), S_OK);
        EXPECT_FALSE(thread_impersonates());
        RevertToSelf();
    }
    // Wine's logon: a failure at the impersonation, and none left behind either.
    EXPECT_TRUE(FAILED(ex->checkCredentials(L".", L"nobody-wharf-test", L"wrong", L"")));
    EXPECT_FALSE(thread_impersonates());
    ex->Release();
}

TEST_F(remote_query, JScriptClientPrintsTheServersPorts)
{
    sim_server_process server(L"--port COM5=1 --port COM9=2");
    const std::string printed = run_script(windows_path(SCRIPT_DIR) + L"\\remote_query_script.js", L".");
    EXPECT_NE(printed.find("COM5=1"), std::string::npos) << printed;
    EXPECT_NE(printed.find("COM9=2"), std::string::npos) << printed;
    EXPECT_LT(printed.find("COM5=1"), printed.find("COM9=2"));
}
