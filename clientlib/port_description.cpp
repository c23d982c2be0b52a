#include "port_description.h"

#include "bstr.h"

namespace wharfcore {

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
