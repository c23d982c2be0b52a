#pragma once
// One parsed piece of a format string: a literal run or a brace item.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace bracefmt {
namespace details {

namespace flags {
inline constexpr std::uint32_t ellipsis = 0x1;      // e
inline constexpr std::uint32_t plus_sign = 0x2;     // +
inline constexpr std::uint32_t lower_hex = 0x4;     // x after b16
inline constexpr std::uint32_t character = 0x8;     // c
inline constexpr std::uint32_t grouping = 0x10;     // l
inline constexpr std::uint32_t text_option = 0x20;  // t(...)
inline constexpr std::uint32_t radix_prefix = 0x40; // b0...
inline constexpr std::uint32_t literal = 0x80;
inline constexpr std::uint32_t section = 0x800; // shared by the three section kinds
inline constexpr std::uint32_t section_mask = 0xF00;
inline constexpr std::uint32_t open_section = 0x900;  // ?<
inline constexpr std::uint32_t close_section = 0xA00; // ?>
inline constexpr std::uint32_t else_section = 0xC00;  // ?|
inline constexpr std::uint32_t full_width = 0x1000;   // p after b16
inline constexpr std::uint32_t option_n = 0x2000;
inline constexpr std::uint32_t option_s = 0x4000;
inline constexpr std::uint32_t option_sa = 0x8000;
inline constexpr std::uint32_t as_unsigned = 0x10000; // u
} // namespace flags

enum alignment : std::uint16_t { align_left = 0, align_centre = 1, align_right = 2 };

// Trivial on purpose: the parser fills every field, so the array is never zeroed first.
struct item {
    std::uint32_t flags;
    // A literal's characters, or the text of a t(...) option; points into the format string.
    const wchar_t* begin;
    const wchar_t* end;
    union {
        std::uint16_t index; // brace item: the argument's position
        std::uint8_t doubled; // literal: the run holds "{{" pairs
    };
    std::uint16_t align;
    std::uint16_t min_width; // 0: none
    std::uint16_t max_width; // 0: none
    std::uint16_t precision;
    wchar_t fill;
    std::uint8_t base;
};

// The items of one format string, in order. Short strings keep their items inline; longer
// ones take one allocation sized for the worst case.
class parsed_format {
public:
    static constexpr std::size_t inline_items = 16;

    parsed_format() noexcept = default;
    parsed_format(const parsed_format&) = delete;
    parsed_format& operator=(const parsed_format&) = delete;

    std::size_t capacity() const noexcept { return heap_ ? heap_capacity_ : inline_items; }
    item* data() noexcept { return items_; }

    // Moves the items so far into one heap block of n items.
    item* grow(std::size_t n)
    {
        auto block = std::make_unique_for_overwrite<item[]>(n);
        std::copy_n(items_, count, block.get());
        heap_ = std::move(block);
        heap_capacity_ = n;
        items_ = heap_.get();
        return items_;
    }

    const item* begin() const noexcept { return items_; }
    const item* end() const noexcept { return items_ + count; }
    const item& operator[](std::size_t i) const noexcept { return items_[i]; }

    std::size_t count = 0;

private:
    item inline_[inline_items];
    std::unique_ptr<item[]> heap_;
    std::size_t heap_capacity_ = 0;
    item* items_ = inline_;
};

} // namespace details
} // namespace bracefmt
