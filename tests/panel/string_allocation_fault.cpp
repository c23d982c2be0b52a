// Linked into a test build of wharfpanel.exe only: the program's own string allocations fail,
// except that of a port name ("COM…"). Connect then makes its port, and the first step after
// createPort (the server's name for the new device) fails with E_OUTOFMEMORY. Calls that
// wharfcore.dll makes go through its own imports and are not touched.
#include <windows.h>
#include <oleauto.h>

#include <cwchar>

#include "support/import_patch.h"

namespace {

using allocate_fn = BSTR WINAPI(const OLECHAR*, UINT);
allocate_fn* original_allocate = nullptr;

BSTR WINAPI allocate_only_port_names(const OLECHAR* text, UINT length)
{
    if (text && length >= 3 && std::wcsncmp(text, L"COM", 3) == 0)
        return original_allocate(text, length);
    return nullptr;
}

struct install_fault {
    install_fault()
        : patch(GetModuleHandleW(nullptr), "oleaut32.dll", "SysAllocStringLen",
                reinterpret_cast<void*>(&allocate_only_port_names))
    {
        original_allocate = patch.original<allocate_fn>();
    }
    import_patch patch;
};

const install_fault fault;

} // namespace
