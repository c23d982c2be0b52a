#pragma once
// object<T, First, Rest...> binds the class T to the interfaces it implements. value<T>
// answers QueryInterface from the table here: IUnknown (and IDispatch when the first face is a
// dispatch interface) give the first face, then each listed interface gives its own face.
//
// When the first face is a dual interface (derived from IDispatch, not IDispatch itself),
// object also implements its IDispatch part from the interface's type information, found in
// the registered type library that type_library_of<First> names.
#include <windows.h>
#include <oaidl.h>

#include <atomic>
#include <type_traits>

namespace Trellum {
namespace com {

// Names the registered type library that describes a dual interface I. A module specialises
// it for each dual interface it serves:
//   template <> struct type_library_of<IFoo> : my_type_library {};
// with static members libid (GUID), major and minor (WORD) and lcid (LCID): the library's own
// locale, because a library is found under the locale it was built with.
template <class I> struct type_library_of;

namespace details {

// The type information of a dual interface, loaded once and kept for the life of the
// process. The returned pointer is borrowed; a failed load is not remembered.
template <class I> HRESULT dispatch_type_info(ITypeInfo** out) noexcept
{
    static std::atomic<ITypeInfo*> cached{nullptr};
    ITypeInfo* info = cached.load(std::memory_order_acquire);
    if (!info) {
        using library = type_library_of<I>;
        ITypeLib* lib = nullptr;
        HRESULT hr = LoadRegTypeLib(library::libid, library::major, library::minor, library::lcid, &lib);
        if (FAILED(hr))
            return hr;
        hr = lib->GetTypeInfoOfGuid(__uuidof(I), &info);
        lib->Release();
        if (FAILED(hr))
            return hr;
        ITypeInfo* expected = nullptr;
        if (!cached.compare_exchange_strong(expected, info, std::memory_order_acq_rel)) {
            info->Release();
            info = expected;
        }
    }
    *out = info;
    return S_OK;
}

// The IDispatch part of a dual face I.
template <class I> class dispatch_face : public I {
public:
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) noexcept override
    {
        if (!count)
            return E_POINTER;
        *count = 1;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** out) noexcept override
    {
        if (index != 0)
            return DISP_E_BADINDEX;
        if (!out)
            return E_POINTER;
        *out = nullptr;
        ITypeInfo* info = nullptr;
        const HRESULT hr = dispatch_type_info<I>(&info);
        if (FAILED(hr))
            return hr;
        info->AddRef();
        *out = info;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) noexcept override
    {
        ITypeInfo* info = nullptr;
        const HRESULT hr = dispatch_type_info<I>(&info);
        if (FAILED(hr))
            return hr;
        return info->GetIDsOfNames(names, count, ids);
    }

    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
        EXCEPINFO* exception, UINT* bad_argument) noexcept override
    {
        ITypeInfo* info = nullptr;
        const HRESULT hr = dispatch_type_info<I>(&info);
        if (FAILED(hr))
            return hr;
        return info->Invoke(static_cast<I*>(this), member, flags, params, result, exception, bad_argument);
    }
};

template <class I>
inline constexpr bool is_dual_v = std::is_base_of_v<IDispatch, I> && !std::is_same_v<IDispatch, I>;

template <class I>
using first_face_t = std::conditional_t<is_dual_v<I>, dispatch_face<I>, I>;

template <class T, class First, class... Rest>
class object : public first_face_t<First>, public Rest... {
public:
    object() noexcept = default;
    object(const object&) = delete;
    object& operator=(const object&) = delete;

protected:
    ~object() = default;

    // The face for an interface id with no reference added, or null.
    void* face_for(REFIID iid) noexcept
    {
        if (iid == IID_IUnknown || iid == __uuidof(First))
            return static_cast<First*>(this);
        if constexpr (std::is_base_of_v<IDispatch, First>) {
            if (iid == IID_IDispatch)
                return static_cast<First*>(this);
        }
        void* found = nullptr;
        ((found = found ? found : (iid == __uuidof(Rest) ? static_cast<void*>(static_cast<Rest*>(this)) : nullptr)), ...);
        return found;
    }
};

} // namespace details
} // namespace com
} // namespace Trellum
