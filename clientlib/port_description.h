#pragma once
// One port that a remote server shares, as a late-bound object for COM clients and scripts.
// Keeps the module loaded while a client holds it.
#include <cstdint>
#include <string>
#include <vector>

#include "trellum/com/module_count.h"
#include "trellum/com/object.h"
#include "trellum/com/value.h"
#include "type_library.h"

namespace wharfcore {

class PortDescription : public Trellum::com::details::object<PortDescription, IRemotePortDescription>,
                        public Trellum::com::increments_module_count {
public:
    PortDescription(std::wstring name, std::uint32_t port) : name_(std::move(name)), port_(port) {}

    // A new object with one reference held by the caller.
    static IRemotePortDescription* Make(const SharedPortRecord& record);
    // A SAFEARRAY of VT_DISPATCH (lower bound 0) holding one new description per record, in
    // order; the caller owns it. Throws; when making it fails part-way the array is unlocked
    // and destroyed, which releases the descriptions already in it.
    static SAFEARRAY* MakeArray(const std::vector<SharedPortRecord>& records);

    HRESULT STDMETHODCALLTYPE get_name(BSTR* value) noexcept override;
    HRESULT STDMETHODCALLTYPE get_port(UINT* value) noexcept override;

private:
    const std::wstring name_;
    const std::uint32_t port_;
};

} // namespace wharfcore
