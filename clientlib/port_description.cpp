#include "port_description.h"

#include <utility>

#include "bstr.h"
#include "corun/errors.h"

namespace wharfcore {
namespace {

struct safearray_holder {
    SAFEARRAY* array = nullptr;
    ~safearray_holder()
    {
        if (array)
            SafeArrayDestroy(array);
    }
};

// Gives up the data access (the array's lock) when the scope ends, also on an exception:
// a locked array cannot be destroyed.
struct safearray_access {
    SAFEARRAY* array;
    ~safearray_access() { SafeArrayUnaccessData(array); }
};

} // namespace

SAFEARRAY* PortDescription::MakeArray(const std::vector<SharedPortRecord>& records)
{
    SAFEARRAYBOUND bound = {static_cast<ULONG>(records.size()), 0};
    safearray_holder made{SafeArrayCreate(VT_DISPATCH, 1, &bound)};
    if (!made.array)
        corun::throw_error(E_OUTOFMEMORY);
    IDispatch** elements = nullptr;
    if (const HRESULT hr = SafeArrayAccessData(made.array, reinterpret_cast<void**>(&elements)); FAILED(hr))
        corun::throw_error(hr);
    {
        safearray_access accessed{made.array};
        for (std::size_t i = 0; i < records.size(); ++i)
            elements[i] = Make(records[i]);
    }
    return std::exchange(made.array, nullptr);
}

IRemotePortDescription* PortDescription::Make(const SharedPortRecord& record)
{
    auto* object = new Trellum::com::details::value<PortDescription>(record.name, record.port);
    IRemotePortDescription* face = nullptr;
    object->QueryInterface(__uuidof(IRemotePortDescription), reinterpret_cast<void**>(&face));
    return face;
}

HRESULT STDMETHODCALLTYPE PortDescription::get_name(BSTR* value) noexcept
{
    return to_bstr(name_, value);
}

HRESULT STDMETHODCALLTYPE PortDescription::get_port(UINT* value) noexcept
{
    if (!value)
        return E_POINTER;
    *value = port_;
    return S_OK;
}

} // namespace wharfcore
