#pragma once
// ref<I> holds one reference to an interface. Copying adds a reference, moving transfers it,
// destruction releases it.
#include <windows.h>
#include <unknwn.h>

#include <cstddef>
#include <utility>

#include "corun/errors.h"

namespace Trellum {
namespace com {
namespace details {

template <class I> class ref {
public:
    ref() noexcept = default;
    ref(std::nullptr_t) noexcept {}
    // Adds a reference of its own to the pointer's object.
    explicit ref(I* pointer) noexcept : pointer_(pointer)
    {
        if (pointer_)
            pointer_->AddRef();
    }
    // Takes over a reference the caller already owns.
    static ref attach(I* pointer) noexcept
    {
        ref result;
        result.pointer_ = pointer;
        return result;
    }

    ref(const ref& other) noexcept : ref(other.pointer_) {}
    ref(ref&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
    ref& operator=(const ref& other) noexcept
    {
        ref(other).swap(*this);
        return *this;
    }
    ref& operator=(ref&& other) noexcept
    {
        ref(std::move(other)).swap(*this);
        return *this;
    }
    ~ref() { reset(); }

    void swap(ref& other) noexcept { std::swap(pointer_, other.pointer_); }

    I* get() const noexcept { return pointer_; }
    I* operator->() const noexcept { return pointer_; }
    explicit operator bool() const noexcept { return pointer_ != nullptr; }

    void reset() noexcept
    {
        if (I* old = std::exchange(pointer_, nullptr))
            old->Release();
    }
    // Gives up the reference without releasing it.
    I* detach() noexcept { return std::exchange(pointer_, nullptr); }
    // Releases what is held and returns the slot for an out parameter.
    I** put() noexcept
    {
        reset();
        return &pointer_;
    }

    // QueryInterface for another face; throws the failure.
    template <class J> ref<J> as() const
    {
        ref<J> result;
        if (!pointer_)
            corun::throw_error(E_POINTER);
        const HRESULT hr = pointer_->QueryInterface(__uuidof(J), reinterpret_cast<void**>(result.put()));
        if (FAILED(hr))
            corun::throw_error(hr);
        return result;
    }

    friend bool operator==(const ref& a, const ref& b) noexcept { return a.pointer_ == b.pointer_; }

private:
    I* pointer_ = nullptr;
};

} // namespace details
} // namespace com
} // namespace Trellum
