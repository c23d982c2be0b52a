#include "bracefmt/write.h"

#include <cwchar>

namespace bracefmt {
namespace details {

void write_aligned(std::wstring_view text, const item& options, std::wstring& out)
{
    const std::size_t n = text.size();
    const std::size_t min = options.min_width;
    const std::size_t max = options.max_width;
    if (min != 0 && n < min) {
        const std::size_t pad = min - n;
        switch (options.align) {
        case align_centre:
            out.append(pad / 2, options.fill);
            out.append(text);
            out.append(pad - pad / 2, options.fill);
            break;
        case align_right:
            out.append(pad, options.fill);
            out.append(text);
            break;
        default:
            out.append(text);
            out.append(pad, options.fill);
            break;
        }
    } else if (max != 0 && n > max) {
        const bool right = options.align == align_right;
        if (options.flags & flags::ellipsis) {
            if (right) {
                out.push_back(L'\u2026');
                out.append(text.substr(n - (max - 1)));
            } else {
                out.append(text.substr(0, max - 1));
                out.push_back(L'\u2026');
            }
        } else {
            out.append(right ? text.substr(n - max) : text.substr(0, max));
        }
    } else {
        out.append(text);
    }
}

void append_literal(const wchar_t* begin, const wchar_t* end, bool doubled, std::wstring& out)
{
    if (!doubled) {
        out.append(begin, end);
        return;
    }
    // The parser ends a run at a single "{", so every "{" here is the first of a pair.
    while (begin != end) {
        auto* brace = static_cast<const wchar_t*>(std::wmemchr(begin, L'{', static_cast<std::size_t>(end - begin)));
        if (!brace) {
            out.append(begin, end);
            return;
        }
        out.append(begin, brace + 1);
        begin = brace + 2 <= end ? brace + 2 : end;
    }
}

} // namespace details
} // namespace bracefmt
