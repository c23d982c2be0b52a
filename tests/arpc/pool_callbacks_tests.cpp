#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

using start_hop_fn = void(HANDLE running, HANDLE release);
using start_read_fn = HANDLE(HANDLE running, HANDLE release);

class event_handle {
public:
    event_handle() : handle_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~event_handle() { CloseHandle(handle_); }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

// Loads pool_module.dll, lets one of its coroutines reach the thread pool and hold a pool
// thread inside the DLL, drops the only reference to the DLL, and checks that the DLL stays
// until that code has returned and goes then.
void check_dll_outlives_its_callback(bool io_completion)
{
    HMODULE module = LoadLibraryW(L"pool_module.dll");
    ASSERT_NE(module, nullptr);
    event_handle running, release, detached;
    reinterpret_cast<void (*)(HANDLE)>(reinterpret_cast<void*>(GetProcAddress(module, "set_detached_event")))(
        detached.get());
    if (io_completion) {
        auto start = reinterpret_cast<start_read_fn*>(reinterpret_cast<void*>(GetProcAddress(module, "start_read")));
        const HANDLE client = start(running.get(), release.get());
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(client, "x", 1, &written, nullptr));
    } else {
        reinterpret_cast<start_hop_fn*>(reinterpret_cast<void*>(GetProcAddress(module, "start_hop")))(running.get(),
                                                                                                      release.get());
    }
    ASSERT_EQ(WaitForSingleObject(running.get(), 10000), WAIT_OBJECT_0);

    FreeLibrary(module);
    EXPECT_EQ(WaitForSingleObject(detached.get(), 0), WAIT_TIMEOUT) << "unloaded under its own pool callback";
    EXPECT_EQ(GetModuleHandleW(L"pool_module.dll"), module);
    SetEvent(release.get());
    EXPECT_EQ(WaitForSingleObject(detached.get(), 10000), WAIT_OBJECT_0) << "never unloaded";
}

} // namespace

TEST(PoolCallbacks, ResumedCoroutineKeepsItsDllLoadedUntilItsCallbackReturns)
{
    check_dll_outlives_its_callback(false);
}

TEST(PoolCallbacks, IoCompletionKeepsItsDllLoadedUntilItsCallbackReturns)
{
    check_dll_outlives_its_callback(true);
}
