#pragma once
// What one format call carries from item to item: the output, the conversion space and the
// stack of conditional sections.
#include <cstdint>
#include <string>

#include "bracefmt/errors.h"
#include "bracefmt/output.h"
#include "bracefmt/scratch.h"

namespace bracefmt {
namespace details {

class format_state {
public:
    static constexpr unsigned max_depth = 8;

    explicit format_state(std::wstring& target) noexcept : out(target) {}
    format_state(const format_state&) = delete;
    format_state& operator=(const format_state&) = delete;

    // True while every open section is enabled.
    bool enabled() const noexcept { return disabled_ == 0; }

    void open_section(bool value)
    {
        if (depth_ == max_depth)
            throw bad_extended_format_string{};
        states_[depth_++] = value;
        disabled_ += !value;
    }

    // ?| and ?> without an open section change nothing.
    void invert_section() noexcept
    {
        if (depth_ == 0)
            return;
        bool& state = states_[depth_ - 1];
        disabled_ += state ? 1 : -1;
        state = !state;
    }

    void close_section() noexcept
    {
        if (depth_ == 0)
            return;
        disabled_ -= !states_[--depth_];
    }

    output out;
    scratch_buffer scratch;

private:
    bool states_[max_depth];
    std::uint8_t depth_ = 0;
    std::uint8_t disabled_ = 0; // how many of the open sections are disabled
};

} // namespace details
} // namespace bracefmt
