#pragma once
// bracefmt::format: wide-string formatting with brace items, e.g.
//   bracefmt::format(L"COM{0}{1?<} (in use){1?>}", 3u, true)    -> L"COM3 (in use)"
//   bracefmt::format(out, L"Error creating device: {0} ({1ub016xp})", text, hr);  // appends
// The format string is parsed at every call; a malformed one raises
// bad_extended_format_string and leaves the output as it was.
#include <concepts>
#include <string>
#include <string_view>
#include <type_traits>

#include "bracefmt/driver.h"
#include "bracefmt/errors.h"
#include "bracefmt/writers.h"

namespace bracefmt {

// Appends the formatted text to out.
template <class... Args> void format(std::wstring& out, std::wstring_view fmt, const Args&... args)
{
    if constexpr (sizeof...(Args) == 0) {
        details::run_format(fmt, nullptr, 0, out);
    } else {
        const details::argument list[] = {details::make_argument(args)...};
        details::run_format(fmt, list, sizeof...(Args), out);
    }
}

// Returns the formatted text. A modifiable std::wstring as first argument selects the
// appending form above instead.
template <class Fmt, class... Args>
    requires(!std::is_same_v<Fmt, std::wstring&> && std::convertible_to<Fmt, std::wstring_view>)
std::wstring format(Fmt&& fmt, const Args&... args)
{
    std::wstring out;
    format(out, std::wstring_view(fmt), args...);
    return out;
}

} // namespace bracefmt
