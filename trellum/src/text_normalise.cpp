#include "trellum/text_normalise.h"

#include <locale>

void collapse_whitespace(std::wstring& text)
{
    const auto& ctype = std::use_facet<std::ctype<wchar_t>>(std::locale());
    auto is_space = [&ctype](wchar_t c) { return ctype.is(std::ctype_base::space, c); };

    std::size_t end = text.size();
    while (end > 0 && is_space(text[end - 1]))
        --end;
    text.resize(end);
    std::size_t start = 0;
    while (start < text.size() && is_space(text[start]))
        ++start;
    text.erase(0, start);

    // The ends hold no white space now, so every run left is an inner one: keep its first
    // character and move the rest of the text up behind it.
    std::size_t out = 0;
    bool in_run = false;
    for (std::size_t in = 0; in < text.size(); ++in) {
        const wchar_t c = text[in];
        if (is_space(c)) {
            if (in_run)
                continue;
            in_run = true;
        } else {
            in_run = false;
        }
        text[out++] = c;
    }
    text.resize(out);
}
