#pragma once
// The module object of wharfcore: one per loaded library, from load to unload. Its lock count
// is shared by the factory's LockServer, by every object a client can hold (factories,
// libraries, devices, port descriptions, script arrays) and by the query operations whose
// futures are still held, and tells DllCanUnloadNow whether the module may go.
#include <windows.h>
#include <objidl.h>

#include <atomic>

namespace wharfcore {

struct IRegistrar;

class CLibraryModule {
public:
    static constexpr const wchar_t* appid = L"{6731D341-22E1-4EE5-8C98-4E1727182329}";

    static CLibraryModule& instance() noexcept;

    virtual ~CLibraryModule();
    virtual long Lock() noexcept { return lock_count_.fetch_add(1, std::memory_order_acq_rel) + 1; }
    virtual long Unlock() noexcept { return lock_count_.fetch_sub(1, std::memory_order_acq_rel) - 1; }
    virtual long GetLockCount() noexcept { return lock_count_.load(std::memory_order_acquire); }
    // The process's global interface table, created on first use.
    virtual HRESULT GetGITPtr(IGlobalInterfaceTable** out) noexcept;
    // "APPID" for every registry script of the module.
    virtual HRESULT AddCommonRGSReplacements(IRegistrar* registrar) noexcept;

    HMODULE module() const noexcept { return module_; }
    void set_module(HMODULE module) noexcept { module_ = module; }

private:
    std::atomic<long> lock_count_{0};
    std::atomic<IGlobalInterfaceTable*> git_{nullptr};
    HMODULE module_ = nullptr;
};

// Holds one lock of the module, so that it is not unloaded while work of it still runs.
class module_lock_holder {
public:
    module_lock_holder() noexcept { CLibraryModule::instance().Lock(); }
    module_lock_holder(const module_lock_holder&) noexcept { CLibraryModule::instance().Lock(); }
    module_lock_holder& operator=(const module_lock_holder&) = delete;
    ~module_lock_holder() { CLibraryModule::instance().Unlock(); }
};

} // namespace wharfcore
