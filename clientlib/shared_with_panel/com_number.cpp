#include "wharfcore/com_number.h"

namespace wharfcore {

std::uint32_t ComNumberFromPortName(std::wstring_view name) noexcept
{
    if (name.size() < 4)
        return 0;
    std::uint32_t n = 0;
    for (const wchar_t c : name.substr(3)) {
        if (c < L'0' || c > L'9')
            break;
        n = n * 10 + static_cast<std::uint32_t>(c - L'0');
        if (n > max_com_number)
            break;
    }
    return n;
}

} // namespace wharfcore
