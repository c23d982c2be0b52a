#pragma once
// The COM boundary: runs a method body and turns what it throws into the HRESULT the method
// returns. hresult_error (and operation_cancelled) give the code they carry, std::bad_alloc
// gives E_OUTOFMEMORY and anything else E_FAIL; nothing escapes a COM method.
//
// Methods whose contract names fewer clauses use the same helper: the clauses a method lacks
// would let an exception out of the COM method, and the answers above are what those
// exceptions must become instead.
#include <windows.h>

#include <new>

#include "corun/errors.h"

namespace Trellum {
namespace com {

template <class Body> HRESULT guarded_call(Body&& body) noexcept
{
    try {
        if constexpr (std::is_void_v<decltype(body())>) {
            body();
            return S_OK;
        } else {
            return body();
        }
    } catch (const corun::details::hresult_error& error) {
        return error.code();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

} // namespace com
} // namespace Trellum
