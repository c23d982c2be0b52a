#include "richtext.h"

#include <stdexcept>

namespace {

constexpr std::wstring_view open_mark = L"[[[";
constexpr std::wstring_view close_mark = L"]]]";

struct open_element {
    std::int64_t start; // -1 for the outermost pseudo-element
    wchar_t tag;
    std::uint32_t argument;
};

// Reads ":digits:" right after a tag; input starts after the tag.
std::uint32_t read_argument(std::wstring_view& input)
{
    if (input.size() < 1 || input[0] != L':' || (input.size() > 1 && input[1] == L':'))
        return 0;
    input.remove_prefix(1);
    if (!input.empty() && input[0] == L'-')
        input.remove_prefix(1); // the value stays positive
    std::uint32_t value = 0;
    while (!input.empty() && input[0] >= L'0' && input[0] <= L'9') {
        value = value * 10u + static_cast<std::uint32_t>(input[0] - L'0');
        input.remove_prefix(1);
    }
    if (!input.empty())
        input.remove_prefix(1); // normally the closing ':'
    return value;
}

} // namespace

richtext_markup richtext_parse(std::wstring_view input)
{
    richtext_markup out;
    std::vector<open_element> stack;
    open_element current{-1, 0, 0};
    while (!input.empty()) {
        const std::size_t o = std::min(input.find(open_mark), input.size());
        const std::size_t c = std::min(input.find(close_mark), input.size());
        if (o < c) {
            out.text.append(input.substr(0, o));
            stack.push_back(current);
            if (o + open_mark.size() >= input.size())
                throw std::out_of_range("invalid string_view position");
            current = open_element{static_cast<std::int64_t>(out.text.size()), input[o + open_mark.size()], 0};
            input.remove_prefix(o + open_mark.size() + 1);
            current.argument = read_argument(input);
        } else if (c < o) {
            out.text.append(input.substr(0, c));
            input.remove_prefix(c + close_mark.size());
            if (stack.empty()) {
                // Nothing is open: the mark is ordinary text.
                out.text.append(close_mark);
                continue;
            }
            const auto start = static_cast<std::uint32_t>(current.start);
            out.ranges.push_back(richtext_range{start, static_cast<std::uint32_t>(out.text.size()) - start,
                                                current.tag, current.argument});
            current = stack.back();
            stack.pop_back();
        } else {
            out.text.append(input);
            break;
        }
    }
    return out;
}
