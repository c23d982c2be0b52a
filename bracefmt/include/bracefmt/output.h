#pragma once
// Where one format call writes its text: a buffer on the stack that reaches the result string
// in few appends (one for most results), instead of one append per literal, padding and
// conversion. Text that does not fit is flushed on the way; the caller undoes a failed call by
// cutting the string back, since nothing reaches it but whole flushes.
#include <cstddef>
#include <string>

namespace bracefmt {
namespace details {

class output {
public:
    static constexpr std::size_t buffer_size = 256;

    explicit output(std::wstring& target) noexcept : target_(target) {}
    output(const output&) = delete;
    output& operator=(const output&) = delete;

    void append(const wchar_t* text, std::size_t n)
    {
        if (n > buffer_size - used_) {
            flush();
            if (n > buffer_size) {
                target_.append(text, n);
                return;
            }
        }
        copy_short(buffer_ + used_, text, n);
        used_ += n;
    }

    void append(std::size_t n, wchar_t c)
    {
        while (n > buffer_size - used_) {
            const std::size_t part = buffer_size - used_;
            fill(buffer_ + used_, part, c);
            used_ = buffer_size;
            flush();
            n -= part;
        }
        fill(buffer_ + used_, n, c);
        used_ += n;
    }

    void push_back(wchar_t c)
    {
        if (used_ == buffer_size)
            flush();
        buffer_[used_++] = c;
    }

    // Room for n characters that the caller writes in place; null when n is more than the
    // buffer holds (the caller then appends in pieces).
    wchar_t* claim(std::size_t n)
    {
        if (n > buffer_size - used_) {
            flush();
            if (n > buffer_size)
                return nullptr;
        }
        wchar_t* at = buffer_ + used_;
        used_ += n;
        return at;
    }

    static void fill(wchar_t* to, std::size_t n, wchar_t c) noexcept
    {
        // Padding is mostly a character or two.
        for (; n >= 4; n -= 4, to += 4) {
            to[0] = c;
            to[1] = c;
            to[2] = c;
            to[3] = c;
        }
        if (n & 2) {
            to[0] = c;
            to[1] = c;
            to += 2;
        }
        if (n & 1)
            *to = c;
    }

    // Appends what the buffer holds to the string.
    void flush()
    {
        target_.append(buffer_, used_);
        used_ = 0;
    }

    std::wstring& target() noexcept { return target_; }

private:
    // Copies in blocks of fixed size, which the compiler keeps inline: most pieces are a few
    // characters, for which a call of memcpy costs more than the copy.
    static void copy_short(wchar_t* to, const wchar_t* from, std::size_t n) noexcept
    {
        for (; n >= 8; n -= 8, to += 8, from += 8)
            __builtin_memcpy(to, from, 8 * sizeof(wchar_t));
        if (n & 4) {
            __builtin_memcpy(to, from, 4 * sizeof(wchar_t));
            to += 4;
            from += 4;
        }
        if (n & 2) {
            __builtin_memcpy(to, from, 2 * sizeof(wchar_t));
            to += 2;
            from += 2;
        }
        if (n & 1)
            *to = *from;
    }

    std::wstring& target_;
    std::size_t used_ = 0;
    wchar_t buffer_[buffer_size];
};

} // namespace details
} // namespace bracefmt
