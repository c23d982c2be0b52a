#include "comdb.h"

#include "system_library.h"

namespace wharfcore {
namespace {

template <class F> F entry_point(HMODULE module, const char* name)
{
    const auto found = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (!found)
        corun::throw_last_error();
    return found;
}

} // namespace

comdb_database::comdb_database() : module_(LoadSystemLibrary(L"msports.dll"))
{
    const auto open = entry_point<decltype(&ComDBOpen)>(module_.get(), "ComDBOpen");
    close_ = entry_point<decltype(&ComDBClose)>(module_.get(), "ComDBClose");
    claim_ = entry_point<decltype(&ComDBClaimPort)>(module_.get(), "ComDBClaimPort");
    release_ = entry_point<decltype(&ComDBReleasePort)>(module_.get(), "ComDBReleasePort");
    open(&handle_);
    if (handle_ == HCOMDB_INVALID_HANDLE_VALUE || !handle_) {
        handle_ = HCOMDB_INVALID_HANDLE_VALUE;
        corun::throw_error(E_FAIL);
    }
}

comdb_database::~comdb_database() { close_(handle_); }

} // namespace wharfcore
