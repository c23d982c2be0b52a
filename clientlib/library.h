#pragma once
// The class behind RemotePortLibrary. (First form: the COM surface and the creation rules;
// the device list and the operations come next.)
#include <vector>

#include "trellum/com/module_count.h"
#include "trellum/com/object.h"
#include "trellum/com/value.h"
#include "type_library.h"
#include "wharfcore/iclient_stub.h"

namespace wharfcore {

class Library : public Trellum::com::details::object<Library, IRemotePortLibrary, IRemotePortLibraryEx>,
                public Trellum::com::increments_module_count,
                public IClient_Remote {
public:
    // The class table's creator: no aggregation; a failed first QueryInterface ends the new
    // object exactly as its final Release would.
    static HRESULT CreateInstance(REFIID iid, void** out, IUnknown* outer) noexcept;
    // Runs the class's registry script.
    static HRESULT UpdateRegistry(bool register_it) noexcept;

    HRESULT STDMETHODCALLTYPE createPort(VARIANT port_name, IRemotePortDevice** device) noexcept override;
    HRESULT STDMETHODCALLTYPE getRemoteSharedPorts(BSTR hostname, SAFEARRAY** ppval) noexcept override;
    HRESULT STDMETHODCALLTYPE getRemoteSharedPortsJs(BSTR hostname, IDispatch** ppval) noexcept override;
    HRESULT STDMETHODCALLTYPE addListener(IRemotePortLibraryListener* listener) noexcept override;
    HRESULT STDMETHODCALLTYPE removeListener(IRemotePortLibraryListener* listener) noexcept override;
    HRESULT STDMETHODCALLTYPE getPorts(SAFEARRAY** ppval) noexcept override;
    HRESULT STDMETHODCALLTYPE getPortsJs(IDispatch** ppval) noexcept override;

    std::vector<Trellum::com::details::ref<IRemotePortDevice>> STDMETHODCALLTYPE getDevices() override;
    corun::details::future<std::vector<SharedPortRecord>> STDMETHODCALLTYPE
    getRemoteSharedPortsAsync(const std::wstring& host) override;
    HRESULT STDMETHODCALLTYPE checkCredentials(const std::wstring& host, const std::wstring& user,
                                               const std::wstring& password, const std::wstring& domain) override;
};

} // namespace wharfcore
