#include "bracefmt/driver.h"

#include "bracefmt/write.h"

namespace bracefmt {
namespace details {
namespace {

void walk(const parsed_format& parsed, const argument* args, std::size_t count, format_state& state)
{
    for (const item& it : parsed) {
        if (it.flags & flags::literal) {
            if (state.enabled())
                append_literal(it.begin, it.end, it.doubled != 0, state.out);
            continue;
        }
        const bool section = (it.flags & flags::section) != 0;
        if (!section && !state.enabled())
            continue;
        if (it.index >= count) {
            // A missing argument is empty text, still padded to the minimum width.
            if (state.enabled())
                write_aligned(std::wstring_view(), it, state.out);
            continue;
        }
        const argument& arg = args[it.index];
        if (!arg.handles_sections && !state.enabled())
            continue;
        arg.write(arg.value, it, state);
    }
}

} // namespace

void run_format(const parsed_format& parsed, const argument* args, std::size_t count, std::wstring& out)
{
    const std::size_t mark = out.size();
    format_state state(out);
    try {
        walk(parsed, args, count, state);
    } catch (...) {
        out.resize(mark);
        throw;
    }
}

} // namespace details
} // namespace bracefmt
