#pragma once
// Argument writers: each converts one argument type for an item and appends the result.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "bracefmt/item.h"
#include "bracefmt/state.h"

namespace bracefmt {
namespace details {

static_assert(sizeof(long) == 4 && sizeof(unsigned long) == 4, "long is 32 bits on Windows");

void write_unsigned32(std::uint32_t value, const item& options, format_state& state);
void write_signed32(std::int32_t value, const item& options, format_state& state);
// An HRESULT: signed unless the item says u.
void write_long(long value, const item& options, format_state& state);
void write_unsigned64(std::uint64_t value, const item& options, format_state& state);
// Opens, inverts or closes a section; writes no text.
void write_bool(bool value, const item& options, format_state& state);
void write_text(std::wstring_view value, const item& options, format_state& state);

// One argument of a call, with the writer for its type. Writers that do not handle sections
// are called only while output is enabled.
struct argument {
    void (*write)(const void* value, const item& options, format_state& state);
    const void* value;
    bool handles_sections;
};

template <class T> inline constexpr bool unsupported_argument = false;

template <class T> struct writer_for {
    static_assert(unsupported_argument<T>, "bracefmt has no writer for this argument type");
};

template <class T, void (*Write)(T, const item&, format_state&), bool Sections = false>
struct value_writer {
    static constexpr bool handles_sections = Sections;
    template <class U> static void write(const void* value, const item& options, format_state& state)
    {
        Write(static_cast<T>(*static_cast<const U*>(value)), options, state);
    }
};

template <> struct writer_for<unsigned int> : value_writer<std::uint32_t, write_unsigned32> {};
template <> struct writer_for<unsigned long> : value_writer<std::uint32_t, write_unsigned32> {};
template <> struct writer_for<int> : value_writer<std::int32_t, write_signed32> {};
template <> struct writer_for<long> : value_writer<long, write_long> {};
template <> struct writer_for<unsigned long long> : value_writer<std::uint64_t, write_unsigned64> {};
template <> struct writer_for<bool> : value_writer<bool, write_bool, true> {};

struct text_writer {
    static constexpr bool handles_sections = false;
    template <class U> static void write(const void* value, const item& options, format_state& state)
    {
        write_text(view(*static_cast<const U*>(value)), options, state);
    }
    static std::wstring_view view(const std::wstring& s) noexcept { return s; }
    static std::wstring_view view(std::wstring_view s) noexcept { return s; }
    // A null pointer formats as empty text.
    static std::wstring_view view(const wchar_t* s) noexcept { return s ? std::wstring_view(s) : std::wstring_view(); }
};

template <> struct writer_for<std::wstring> : text_writer {};
template <> struct writer_for<std::wstring_view> : text_writer {};
template <> struct writer_for<const wchar_t*> : text_writer {};
template <> struct writer_for<wchar_t*> : text_writer {};

// A character array (a literal, or a fixed buffer): the text up to its first NUL.
template <std::size_t N> struct writer_for<wchar_t[N]> {
    static constexpr bool handles_sections = false;
    template <class U> static void write(const void* value, const item& options, format_state& state)
    {
        const wchar_t* s = *static_cast<const U*>(value);
        const wchar_t* nul = std::char_traits<wchar_t>::find(s, N, L'\0');
        write_text(std::wstring_view(s, nul ? static_cast<std::size_t>(nul - s) : N), options, state);
    }
};

template <class T> argument make_argument(const T& value) noexcept
{
    using writer = writer_for<std::remove_cv_t<T>>;
    return argument{&writer::template write<T>, &value, writer::handles_sections};
}

} // namespace details
} // namespace bracefmt
