#include "port_number_argument.h"

#include <string_view>

#include "corun/errors.h"
#include "wharfcore/com_number.h"

namespace wharfcore {
namespace {

class variant_holder {
public:
    variant_holder() noexcept { VariantInit(&value_); }
    variant_holder(const variant_holder&) = delete;
    variant_holder& operator=(const variant_holder&) = delete;
    ~variant_holder() { VariantClear(&value_); }
    VARIANT* get() noexcept { return &value_; }

private:
    VARIANT value_;
};

} // namespace

requested_port_number PortNumberFromArgument(const VARIANT& argument)
{
    // Scripts pass variables by reference (VT_BYREF | VT_BSTR and the like). A variant that
    // cannot even be copied cannot be converted to a number either: the invalid number 0.
    variant_holder direct;
    const HRESULT copied = VariantCopyInd(direct.get(), const_cast<VARIANT*>(&argument));
    if (copied == E_OUTOFMEMORY)
        corun::throw_error(copied);
    if (FAILED(copied))
        return {false, 0};
    const VARIANT& value = *direct.get();

    switch (V_VT(&value)) {
    case VT_EMPTY:
    case VT_ERROR:
        return {true, 0};
    case VT_BSTR: {
        const std::wstring_view name(V_BSTR(&value), SysStringLen(V_BSTR(&value)));
        if (name.empty())
            corun::throw_error(E_INVALIDARG);
        return {false, ComNumberFromPortName(name)};
    }
    default: {
        variant_holder converted;
        if (FAILED(VariantChangeType(converted.get(), direct.get(), 0, VT_I4)))
            return {false, 0};
        return {false, static_cast<std::uint32_t>(V_I4(converted.get()))};
    }
    }
}

} // namespace wharfcore
