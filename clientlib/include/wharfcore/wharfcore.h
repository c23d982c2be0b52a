#pragma once
// The COM faces of wharfcore, shared by the library and the configuration program. The
// type library's interfaces come from the generated header; the two native faces below are
// not in the type library: they pass standard-library objects and futures across the module
// boundary, so both sides must be built with the same compiler and standard library.
#include <windows.h>
#include <oaidl.h>

#include <string>
#include <vector>

#include "corun/future.h"
#include "trellum/com/ref.h"
#include "wharfcore/shared_port_record.h"
#include "wharfnet_client.h"

// {C18B7B8C-07A8-4CA8-B19F-91D79F8F099F}
inline constexpr CLSID CLSID_RemotePortLibrary = {0xC18B7B8C, 0x07A8, 0x4CA8, {0xB1, 0x9F, 0x91, 0xD7, 0x9F, 0x8F, 0x09, 0x9F}};
// {59C653C1-B2D9-4CEA-A275-12413F797589}
inline constexpr GUID LIBID_wharfnet_client = {0x59C653C1, 0xB2D9, 0x4CEA, {0xA2, 0x75, 0x12, 0x41, 0x3F, 0x79, 0x75, 0x89}};

struct IRemotePortLibraryEx : public IUnknown {
    // The present devices, each element holding one reference. Exceptions reach the caller.
    virtual std::vector<Trellum::com::details::ref<IRemotePortDevice>> STDMETHODCALLTYPE getDevices() = 0;
    // The ports a server shares, in the order of its reply.
    virtual corun::details::future<std::vector<SharedPortRecord>> STDMETHODCALLTYPE
    getRemoteSharedPortsAsync(const std::wstring& host) = 0;
    // S_OK when the server's pipe opens under the given credentials.
    virtual HRESULT STDMETHODCALLTYPE checkCredentials(const std::wstring& host, const std::wstring& user,
                                                       const std::wstring& password, const std::wstring& domain) = 0;
};

struct IRemotePortDeviceEx : public IUnknown {
    // Marks the device as gone: its driver properties answer ERROR_INVALID_HANDLE from now on.
    virtual void STDMETHODCALLTYPE invalidate() = 0;
};

__CRT_UUID_DECL(IRemotePortLibraryEx, 0xC8020997, 0x01D3, 0x4D46, 0x96, 0x54, 0x13, 0x6B, 0x0B, 0xF9, 0xA0, 0xA0)
__CRT_UUID_DECL(IRemotePortDeviceEx, 0xC0169CA2, 0xCE16, 0x404B, 0xAE, 0x41, 0x70, 0x0B, 0x42, 0x5C, 0x2F, 0x36)
