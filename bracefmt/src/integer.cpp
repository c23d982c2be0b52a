#include "bracefmt/integer.h"

namespace bracefmt {
namespace details {

std::wstring_view format_integer(std::uint64_t magnitude, wchar_t sign, unsigned bits,
                                 const item& options, scratch_buffer& scratch)
{
    // 64 binary digits, or 20 decimal digits with 6 separators, plus prefix and sign.
    constexpr std::size_t room = 80;
    static_assert(room <= scratch_buffer::inline_size);
    wchar_t* const last = scratch.reserve(room) + room;
    wchar_t* q = last;
    std::uint64_t v = magnitude;
    switch (options.base) {
    case 2:
        do {
            *--q = static_cast<wchar_t>(L'0' + (v & 1));
            v >>= 1;
        } while (v);
        break;
    case 8:
        do {
            *--q = static_cast<wchar_t>(L'0' + (v & 7));
            v >>= 3;
        } while (v);
        break;
    case 10:
        if (options.flags & flags::grouping) {
            const wchar_t separator = thousands_separator();
            unsigned count = 0;
            do {
                if (count != 0 && count % 3 == 0)
                    *--q = separator;
                *--q = static_cast<wchar_t>(L'0' + v % 10);
                v /= 10;
                ++count;
            } while (v);
        } else {
            q = write_decimal(v, q);
        }
        break;
    default: {
        const bool lower = (options.flags & flags::lower_hex) != 0;
        const wchar_t* digits = lower ? L"0123456789abcdef" : L"0123456789ABCDEF";
        do {
            *--q = digits[v & 15];
            v >>= 4;
        } while (v);
        if (options.flags & flags::full_width) {
            wchar_t* const first = last - bits / 4;
            while (q > first)
                *--q = L'0';
        }
        if ((options.flags & flags::radix_prefix) && magnitude != 0) {
            *--q = lower ? L'x' : L'X';
            *--q = L'0';
        }
        break;
    }
    }
    if (sign)
        *--q = sign;
    return {q, static_cast<std::size_t>(last - q)};
}

} // namespace details
} // namespace bracefmt
