#include "wl/thread_capable.h"

namespace wl::wli {

void run_marshalled_call(std::unique_ptr<marshalled_call> record) noexcept
{
    if (!record)
        return;
    try {
        if (record->error)
            std::rethrow_exception(record->error);
        record->call();
    } catch (...) {
        report_exception();
        PostQuitMessage(-1);
    }
}

} // namespace wl::wli
