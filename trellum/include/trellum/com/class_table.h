#pragma once
// The creatable classes of a COM module. The module that uses Factory supplies
// module_class_table().
#include <windows.h>

#include <span>

namespace Trellum {
namespace com {

struct class_entry {
    const CLSID* clsid;
    HRESULT (*create)(REFIID iid, void** out, IUnknown* outer);
    HRESULT (*update_registry)(bool register_it);
};

std::span<const class_entry> module_class_table() noexcept;

} // namespace com
} // namespace Trellum
