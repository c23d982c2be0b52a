#pragma once
// value<T> completes a COM class: the reference count (placed after the class's members),
// AddRef, Release and QueryInterface. The class itself derives from object<T, faces...>,
// which supplies the interface table.
//
// A new object's count is 0 until its first QueryInterface. When the count returns to 0 the
// object runs its final release and is destroyed:
//   1. T::FinalRelease(), when T declares one (the place for shutting down worker threads
//      while the object is still whole);
//   2. delete;
//   3. the module lock count goes down, for classes deriving increments_module_count: only
//      once the destructor has run, since the module must not be unloaded under it.
// A FinalRelease that returns bool may answer false: T then takes over the end of the object
// and calls value<T>::end() itself later, from where none of its code is still running on the
// releasing thread (the final release of an object can come from inside its own worker).
#include <windows.h>
#include <unknwn.h>

#include <atomic>
#include <concepts>
#include <type_traits>
#include <utility>

#include "trellum/com/module_count.h"

namespace Trellum {
namespace com {
namespace details {

// What value<T> runs around T's own constructor and destructor: after construction, at the
// final release, and after deletion.
struct final_construct_support {
    template <class T> static void construction_completed(T& object) noexcept
    {
        if constexpr (std::is_base_of_v<increments_module_count, T>)
            static_cast<increments_module_count&>(object).count_in_module();
    }

    // False when T has taken over the end of the object.
    template <class T> static bool final_release(T& object) noexcept
    {
        if constexpr (requires(T& t) { { t.FinalRelease() } -> std::same_as<bool>; })
            return object.FinalRelease();
        else if constexpr (requires(T& t) { t.FinalRelease(); })
            object.FinalRelease();
        return true;
    }

    // After the object's deletion.
    template <class T> static void object_deleted() noexcept
    {
        if constexpr (std::is_base_of_v<increments_module_count, T>)
            module_unlock();
    }
};

class ref_count_base : protected final_construct_support {
protected:
    std::atomic<ULONG> ref_count_{0};
};

template <class T>
class value final : public T, public ref_count_base {
public:
    template <class... Args>
    explicit value(Args&&... args) : T(std::forward<Args>(args)...)
    {
        construction_completed(static_cast<T&>(*this));
    }

    ULONG STDMETHODCALLTYPE AddRef() noexcept override
    {
        return ref_count_.fetch_add(1, std::memory_order_relaxed) + 1;
    }

    ULONG STDMETHODCALLTYPE Release() noexcept override
    {
        const ULONG left = ref_count_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0)
            destroy();
        return left;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) noexcept override
    {
        if (!out)
            return E_POINTER;
        *out = T::face_for(iid);
        if (!*out)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }

    // Ends the object exactly as its final Release does. For a creator whose first
    // QueryInterface failed, so that nobody ever held a reference.
    void destroy() noexcept
    {
        if (final_release(static_cast<T&>(*this)))
            end();
    }

    // Deletes the object, then gives its module lock back.
    void end() noexcept
    {
        delete this;
        object_deleted<T>();
    }

    // The current count, for tests and diagnostics only.
    ULONG reference_count() const noexcept { return ref_count_.load(std::memory_order_relaxed); }
};

} // namespace details
} // namespace com
} // namespace Trellum
