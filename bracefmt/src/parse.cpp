#include "bracefmt/parse.h"

#include <algorithm>

#include <emmintrin.h>

#include "bracefmt/errors.h"

namespace bracefmt {
namespace details {
namespace {

[[noreturn]] void malformed()
{
    throw bad_extended_format_string{};
}

// Reads an unsigned decimal run; values beyond 16 bits stay at the largest one instead of
// wrapping into a small width or index.
std::uint16_t read_number(const wchar_t*& p, const wchar_t* end) noexcept
{
    std::uint32_t value = 0;
    for (; p != end; ++p) {
        const std::uint32_t digit = static_cast<std::uint32_t>(*p) - L'0';
        if (digit > 9)
            break;
        value = value * 10 + digit;
        value = value > 0xFFFF ? 0xFFFF : value;
    }
    return static_cast<std::uint16_t>(value);
}

wchar_t take(const wchar_t*& p, const wchar_t* end)
{
    if (p == end)
        malformed();
    return *p++;
}

// The first "{" at or after p, or end. Literal runs are most of a format string, so they are
// scanned eight characters at a time.
const wchar_t* find_brace(const wchar_t* p, const wchar_t* end) noexcept
{
    static_assert(sizeof(wchar_t) == 2);
    const __m128i brace = _mm_set1_epi16(static_cast<short>(L'{'));
    while (end - p >= 8) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const int mask = _mm_movemask_epi8(_mm_cmpeq_epi16(chunk, brace));
        if (mask != 0)
            return p + __builtin_ctz(static_cast<unsigned>(mask)) / 2;
        p += 8;
    }
    while (p != end && *p != L'{')
        ++p;
    return p;
}

const wchar_t* parse_literal(const wchar_t* p, const wchar_t* end, item& it) noexcept
{
    it.flags = flags::literal;
    it.begin = p;
    it.doubled = 0;
    for (;;) {
        p = find_brace(p, end);
        if (p == end || p + 1 == end || p[1] != L'{')
            break;
        it.doubled = 1;
        p += 2;
    }
    it.end = p;
    return p;
}

void parse_base(const wchar_t*& p, const wchar_t* end, item& it) noexcept
{
    if (p != end && *p == L'0') {
        it.flags |= flags::radix_prefix;
        ++p;
    }
    it.base = static_cast<std::uint8_t>(std::min<std::uint16_t>(read_number(p, end), 0xFF));
    if (it.base != 16)
        return;
    if (p != end && *p == L'x') {
        it.flags |= flags::lower_hex;
        ++p;
    } else if (p != end && *p == L'X') {
        ++p;
    }
    if (p != end && *p == L'p') {
        it.flags |= flags::full_width;
        ++p;
    }
}

void set_section(item& it, std::uint32_t kind) noexcept
{
    it.flags = (it.flags & ~flags::section_mask) | kind;
}

// p is just past the opening "{"; returns just past the closing "}".
const wchar_t* parse_item(const wchar_t* p, const wchar_t* end, item& it)
{
    // Flags, text range, index, alignment, widths, precision, fill, base.
    static constexpr item defaults{0, nullptr, nullptr, {0}, align_left, 0, 0, 0, L' ', 10};
    it = defaults;
    it.index = read_number(p, end);
    for (;;) {
        switch (take(p, end)) {
        case L'}':
            return p;
        case L'+':
            it.flags |= flags::plus_sign;
            break;
        case L'?':
            switch (take(p, end)) {
            case L'<': set_section(it, flags::open_section); break;
            case L'|': set_section(it, flags::else_section); break;
            case L'>': set_section(it, flags::close_section); break;
            default: malformed();
            }
            break;
        case L'a':
            switch (take(p, end)) {
            case L'l': it.align = align_left; break;
            case L'c': it.align = align_centre; break;
            case L'r': it.align = align_right; break;
            default: break; // any other letter is skipped with the "a"
            }
            break;
        case L'b':
            parse_base(p, end, it);
            break;
        case L'c':
            it.flags |= flags::character;
            break;
        case L'e':
            it.flags |= flags::ellipsis;
            break;
        case L'f':
            it.fill = take(p, end);
            break;
        case L'l':
            it.flags |= flags::grouping;
            break;
        case L'n':
            it.flags |= flags::option_n;
            break;
        case L's':
            if (p != end && *p == L'a') {
                it.flags |= flags::option_sa;
                ++p;
            } else {
                it.flags |= flags::option_s;
            }
            break;
        case L'p':
            it.precision = read_number(p, end);
            break;
        case L't': {
            if (take(p, end) != L'(')
                malformed();
            const wchar_t* text = p;
            for (;;) {
                const wchar_t c = take(p, end);
                if (c == L')')
                    break;
                if (c == L'}')
                    malformed();
            }
            it.flags |= flags::text_option;
            it.begin = text;
            it.end = p - 1;
            break;
        }
        case L'u':
            it.flags |= flags::as_unsigned;
            break;
        case L'w':
            it.min_width = read_number(p, end);
            if (p != end && *p == L',') {
                ++p;
                it.max_width = read_number(p, end);
            }
            break;
        default:
            malformed();
        }
    }
}

} // namespace

const wchar_t* parse_next(const wchar_t* p, const wchar_t* end, item& it)
{
    if (*p == L'{' && (p + 1 == end || p[1] != L'{'))
        return parse_item(p + 1, end, it);
    return parse_literal(p, end, it);
}

void parse_format_string(std::wstring_view format, parsed_format& parsed)
{
    const wchar_t* p = format.data();
    const wchar_t* const end = p + format.size();
    parsed.count = 0;
    item* items = parsed.data();
    while (p != end) {
        if (parsed.count == parsed.capacity()) {
            // Every "{" adds at most one item and one literal run after it, so this happens
            // once at most, and only for strings with many items.
            const auto braces = static_cast<std::size_t>(std::count(format.data(), end, L'{'));
            items = parsed.grow(2 * braces + 1);
        }
        p = parse_next(p, end, items[parsed.count++]);
    }
}

} // namespace details
} // namespace bracefmt
