#pragma once
// Where the dual faces of wharfcore find their type information: the registered library
// wharfnet_client 1.0, under the locale it was built with (0x0409) whatever the caller's.
#include "trellum/com/object.h"
#include "wharfcore/wharfcore.h"

struct wharfnet_client_type_library {
    static constexpr const GUID& libid = LIBID_wharfnet_client;
    static constexpr WORD major = 1;
    static constexpr WORD minor = 0;
    static constexpr LCID lcid = 0x0409;
};

namespace Trellum::com {
template <> struct type_library_of<IRemotePortLibrary> : wharfnet_client_type_library {};
template <> struct type_library_of<IRemotePortDevice> : wharfnet_client_type_library {};
template <> struct type_library_of<IRemotePortDescription> : wharfnet_client_type_library {};
} // namespace Trellum::com
