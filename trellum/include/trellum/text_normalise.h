#pragma once
// Tidying of texts the system returns (error messages) and reading of the unsigned numbers
// in settings strings.
#include <cstdint>
#include <string>

// Removes white space at the end and at the start, then replaces every inner run of white
// space by the run's first character. White space is what the global locale's
// std::ctype<wchar_t> classifies as space.
void collapse_whitespace(std::wstring& text);

// Reads an unsigned decimal number of at most 32 bits from [begin, end): leading zeros are
// skipped, reading stops at the first character that is not a digit and begin is moved to
// it. False when there is no digit at all or the number does not fit; then neither out nor
// begin is changed.
template <class Iterator> bool read_decimal(Iterator& begin, Iterator end, std::uint32_t& out)
{
    Iterator cursor = begin;
    bool any_digit = false;
    while (cursor != end && *cursor == '0') {
        any_digit = true;
        ++cursor;
    }
    std::uint32_t number = 0;
    while (cursor != end && *cursor >= '0' && *cursor <= '9') {
        const std::uint32_t digit = static_cast<std::uint32_t>(*cursor - '0');
        if (number > 429496729u || (number == 429496729u && digit > 5u))
            return false;
        number = number * 10u + digit;
        any_digit = true;
        ++cursor;
    }
    if (!any_digit)
        return false;
    out = number;
    begin = cursor;
    return true;
}
