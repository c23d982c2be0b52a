// corun's thread-pool hop against a bare thread-pool callback, and awaiting a ready future
// against a direct call.
#include <windows.h>

#include "bench.h"
#include "corun/corun.h"

namespace {

void CALLBACK set_event(PTP_CALLBACK_INSTANCE, void* event) noexcept
{
    SetEvent(static_cast<HANDLE>(event));
}

corun::details::fire_and_forget hop_then_signal(HANDLE event)
{
    co_await corun::resume_background();
    SetEvent(event);
}

__attribute__((noinline)) int direct(int x)
{
    return x + 1;
}

corun::details::future<int> ready_value(int x)
{
    co_return x + 1;
}

corun::details::future<int> await_ready_value(int x)
{
    co_return co_await ready_value(x);
}

__attribute__((noinline)) int call_direct_twice(int x)
{
    return direct(direct(x) - 1);
}

} // namespace

int main()
{
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!event)
        return 1;
    bench::compare(
        "resume_background hop vs TrySubmitThreadpoolCallback",
        [&] {
            hop_then_signal(event);
            WaitForSingleObject(event, INFINITE);
        },
        [&] {
            if (!TrySubmitThreadpoolCallback(&set_event, event, nullptr))
                ExitProcess(2);
            WaitForSingleObject(event, INFINITE);
        },
        5000);

    int x = 0;
    bench::compare(
        "await ready future vs direct call",
        [&] {
            auto f = await_ready_value(x);
            x = f.get();
        },
        [&] { x = call_direct_twice(x); },
        200000);
    bench::keep(x);
    CloseHandle(event);
    return 0;
}
