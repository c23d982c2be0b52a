#include "comdb.h"

#include "system_library.h"

namespace wharfcore {

comdb_database::comdb_database() : module_(LoadSystemLibrary(L"msports.dll"))
{
    const auto open = EntryPoint<decltype(&ComDBOpen)>(module_.get(), "ComDBOpen");
    close_ = EntryPoint<decltype(&ComDBClose)>(module_.get(), "ComDBClose");
    claim_ = EntryPoint<decltype(&ComDBClaimPort)>(module_.get(), "ComDBClaimPort");
    release_ = EntryPoint<decltype(&ComDBReleasePort)>(module_.get(), "ComDBReleasePort");
    open(&handle_);
    if (handle_ == HCOMDB_INVALID_HANDLE_VALUE || !handle_) {
        handle_ = HCOMDB_INVALID_HANDLE_VALUE;
        corun::throw_error(E_FAIL);
    }
}

comdb_database::~comdb_database() { close_(handle_); }

} // namespace wharfcore
