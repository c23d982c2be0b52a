#pragma once
// Conversion space of one format call: inline for every integer conversion, on the heap only
// when a conversion asks for more.
#include <cstddef>
#include <memory>

namespace bracefmt {
namespace details {

class scratch_buffer {
public:
    static constexpr std::size_t inline_size = 128;

    scratch_buffer() noexcept = default;
    scratch_buffer(const scratch_buffer&) = delete;
    scratch_buffer& operator=(const scratch_buffer&) = delete;

    // Room for at least n characters; the previous contents are not kept.
    wchar_t* reserve(std::size_t n)
    {
        if (n <= capacity_)
            return heap_ ? heap_.get() : inline_;
        heap_ = std::make_unique_for_overwrite<wchar_t[]>(n);
        capacity_ = n;
        return heap_.get();
    }

private:
    wchar_t inline_[inline_size];
    std::unique_ptr<wchar_t[]> heap_;
    std::size_t capacity_ = inline_size;
};

} // namespace details
} // namespace bracefmt
