#include "wl/thread_capable.h"

namespace wl::wli {

void run_marshalled_call(LPARAM record) noexcept
{
    std::unique_ptr<marshalled_call> owned(reinterpret_cast<marshalled_call*>(record));
    try {
        if (owned->error)
            std::rethrow_exception(owned->error);
        owned->call();
    } catch (...) {
        report_exception();
        PostQuitMessage(-1);
    }
}

} // namespace wl::wli
