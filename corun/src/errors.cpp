#include "corun/errors.h"

#include <windows.h>

namespace corun {
namespace details {

long hresult_from_win32(unsigned long code) noexcept
{
    if (code == 0)
        return E_FAIL;
    const long as_signed = static_cast<long>(code);
    if (as_signed < 0)
        return as_signed;
    return static_cast<long>((code & 0x0000FFFFUL) | 0x80070000UL);
}

} // namespace details

void throw_error(long hr)
{
    if (hr == details::cancelled_hresult)
        throw details::operation_cancelled();
    throw details::hresult_error(hr);
}

void throw_win32_error(unsigned long code)
{
    throw_error(details::hresult_from_win32(code));
}

void throw_last_error()
{
    throw_win32_error(GetLastError());
}

} // namespace corun
