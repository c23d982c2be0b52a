#include "bracefmt/driver.h"

#include "bracefmt/parse.h"
#include "bracefmt/write.h"

namespace bracefmt {
namespace details {
namespace {

void write_item(const item& it, const argument* args, std::size_t count, format_state& state)
{
    if (it.flags & flags::literal) {
        if (state.enabled()) {
            if (it.doubled)
                append_literal(it.begin, it.end, true, state.out);
            else
                state.out.append(it.begin, static_cast<std::size_t>(it.end - it.begin));
        }
        return;
    }
    const bool section = (it.flags & flags::section) != 0;
    if (!section && !state.enabled())
        return;
    if (it.index >= count) {
        // A missing argument is empty text, still padded to the minimum width.
        if (state.enabled())
            write_aligned(std::wstring_view(), it, state.out);
        return;
    }
    const argument& arg = args[it.index];
    if (!arg.handles_sections && !state.enabled())
        return;
    arg.write(arg.value, it, state);
}

} // namespace

void run_format(std::wstring_view format, const argument* args, std::size_t count, std::wstring& out)
{
    const std::size_t mark = out.size();
    format_state state(out);
    try {
        const wchar_t* p = format.data();
        const wchar_t* const end = p + format.size();
        item it;
        while (p != end) {
            p = parse_next(p, end, it);
            write_item(it, args, count, state);
        }
        state.out.flush();
    } catch (...) {
        out.resize(mark);
        throw;
    }
}

} // namespace details
} // namespace bracefmt
