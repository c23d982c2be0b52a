#include "bracefmt/writers.h"

#include "bracefmt/integer.h"
#include "bracefmt/write.h"

namespace bracefmt {
namespace details {
namespace {

void convert_and_write(std::uint64_t magnitude, wchar_t sign, unsigned bits, const item& options, format_state& state)
{
    write_aligned(format_integer(magnitude, sign, bits, options, state.scratch), options, state.out);
}

// format_integer and write_aligned, except that plain decimal (no grouping, no maximum width),
// most of what is formatted, goes straight into the output, padding included.
inline void write_integer(std::uint64_t magnitude, wchar_t sign, unsigned bits, const item& options,
                          format_state& state)
{
    if (options.base == 10 && !(options.flags & flags::grouping) && options.max_width == 0) {
        const std::size_t n = decimal_length(magnitude) + (sign ? 1 : 0);
        const std::size_t width = n < options.min_width ? options.min_width : n;
        if (wchar_t* at = state.out.claim(width)) {
            const std::size_t pad = width - n;
            const std::size_t before = pad ? leading_fill(pad, options.align) : 0;
            wchar_t* first = write_decimal(magnitude, at + before + n);
            if (sign)
                first[-1] = sign;
            if (pad) {
                output::fill(at, before, options.fill);
                output::fill(at + before + n, pad - before, options.fill);
            }
            return;
        }
    }
    convert_and_write(magnitude, sign, bits, options, state);
}

void write_character(std::uint32_t value, const item& options, format_state& state)
{
    const wchar_t c = static_cast<wchar_t>(value);
    write_aligned(std::wstring_view(&c, 1), options, state.out);
}

void write_signed(std::int64_t value, std::uint32_t bits_if_unsigned, const item& options, format_state& state)
{
    if (options.flags & flags::character) {
        write_character(static_cast<std::uint32_t>(value), options, state);
        return;
    }
    if (options.flags & flags::as_unsigned) {
        write_integer(bits_if_unsigned, 0, 32, options, state);
        return;
    }
    const bool negative = value < 0;
    const wchar_t sign = negative ? L'-' : (options.flags & flags::plus_sign) ? L'+' : 0;
    const std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    write_integer(magnitude, sign, 32, options, state);
}

} // namespace

void write_unsigned32(std::uint32_t value, const item& options, format_state& state)
{
    if (options.flags & flags::character)
        write_character(value, options, state);
    else
        write_integer(value, 0, 32, options, state);
}

void write_signed32(std::int32_t value, const item& options, format_state& state)
{
    write_signed(value, static_cast<std::uint32_t>(value), options, state);
}

void write_long(long value, const item& options, format_state& state)
{
    write_signed(value, static_cast<std::uint32_t>(value), options, state);
}

void write_unsigned64(std::uint64_t value, const item& options, format_state& state)
{
    write_integer(value, 0, 64, options, state);
}

void write_bool(bool value, const item& options, format_state& state)
{
    switch (options.flags & flags::section_mask) {
    case flags::open_section: state.open_section(value); break;
    case flags::else_section: state.invert_section(); break;
    case flags::close_section: state.close_section(); break;
    default: break;
    }
}

void write_text(std::wstring_view value, const item& options, format_state& state)
{
    write_aligned(value, options, state.out);
}

} // namespace details
} // namespace bracefmt
