#include "bracefmt/write.h"

#include <cwchar>

namespace bracefmt {
namespace details {

void write_aligned(std::wstring_view text, const item& options, output& out)
{
    const std::size_t n = text.size();
    const std::size_t min = options.min_width;
    const std::size_t max = options.max_width;
    if (min != 0 && n < min) {
        const std::size_t pad = min - n;
        const std::size_t before = leading_fill(pad, options.align);
        out.append(before, options.fill);
        out.append(text.data(), n);
        out.append(pad - before, options.fill);
    } else if (max != 0 && n > max) {
        const bool right = options.align == align_right;
        if (options.flags & flags::ellipsis) {
            if (right) {
                out.push_back(L'\u2026');
                out.append(text.data() + n - (max - 1), max - 1);
            } else {
                out.append(text.data(), max - 1);
                out.push_back(L'\u2026');
            }
        } else {
            out.append(right ? text.data() + n - max : text.data(), max);
        }
    } else {
        out.append(text.data(), text.size());
    }
}

void append_literal(const wchar_t* begin, const wchar_t* end, bool doubled, output& out)
{
    if (!doubled) {
        out.append(begin, static_cast<std::size_t>(end - begin));
        return;
    }
    // The parser ends a run at a single "{", so every "{" here is the first of a pair.
    while (begin != end) {
        auto* brace = static_cast<const wchar_t*>(std::wmemchr(begin, L'{', static_cast<std::size_t>(end - begin)));
        if (!brace) {
            out.append(begin, static_cast<std::size_t>(end - begin));
            return;
        }
        out.append(begin, static_cast<std::size_t>(brace + 1 - begin));
        begin = brace + 2 <= end ? brace + 2 : end;
    }
}

} // namespace details
} // namespace bracefmt
