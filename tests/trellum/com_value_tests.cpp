#include <gtest/gtest.h>

#include "trellum/com.h"

using Trellum::com::details::ref;
using Trellum::com::details::value;

namespace {

int destroyed = 0;
long module_count = 0;
long module_count_in_destructor = -1;

class plain : public Trellum::com::details::object<plain, IClassFactory, IPersist> {
public:
    ~plain() { ++destroyed; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, void**) noexcept override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) noexcept override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID*) noexcept override { return E_NOTIMPL; }
};

class counted_in_module : public plain, public Trellum::com::increments_module_count {
public:
    ~counted_in_module() { module_count_in_destructor = module_count; }
};

} // namespace

namespace Trellum::com {
long module_lock() noexcept { return ++module_count; }
long module_unlock() noexcept { return --module_count; }
} // namespace Trellum::com

TEST(ComValue, CountStartsAtZeroAndFinalReleaseDestroysOnce)
{
    destroyed = 0;
    auto* object = new value<plain>();
    EXPECT_EQ(object->reference_count(), 0u);
    IClassFactory* factory = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    EXPECT_EQ(object->reference_count(), 1u);
    IPersist* persist = nullptr;
    ASSERT_EQ(factory->QueryInterface(IID_IPersist, reinterpret_cast<void**>(&persist)), S_OK);
    EXPECT_NE(static_cast<void*>(persist), static_cast<void*>(factory));
    IUnknown* unknown = nullptr;
    ASSERT_EQ(persist->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    EXPECT_EQ(static_cast<void*>(unknown), static_cast<void*>(factory));
    EXPECT_EQ(unknown->Release(), 2u);
    EXPECT_EQ(persist->Release(), 1u);
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(factory->Release(), 0u);
    EXPECT_EQ(destroyed, 1);
}

TEST(ComValue, UnknownInterfaceGivesNullAndNoReference)
{
    auto* object = new value<plain>();
    object->AddRef();
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(object->QueryInterface(IID_IDispatch, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(object->reference_count(), 1u);
    object->Release();
}

TEST(ComValue, ModuleCountFollowsLiveObjects)
{
    module_count = 0;
    auto* object = new value<counted_in_module>();
    EXPECT_EQ(module_count, 1);
    object->AddRef();
    object->Release();
    EXPECT_EQ(module_count, 0);
    // The module stays loaded until the object's destructor has run.
    EXPECT_EQ(module_count_in_destructor, 1);
}

TEST(ComRef, CopiesAddMovesTransferAndResetReleases)
{
    destroyed = 0;
    auto* object = new value<plain>();
    IClassFactory* raw = nullptr;
    object->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&raw));
    {
        auto held = ref<IClassFactory>::attach(raw);
        ref<IClassFactory> copy = held;
        EXPECT_EQ(object->reference_count(), 2u);
        ref<IClassFactory> moved = std::move(copy);
        EXPECT_EQ(object->reference_count(), 2u);
        EXPECT_FALSE(copy);
        auto persist = held.as<IPersist>();
        EXPECT_EQ(object->reference_count(), 3u);
        EXPECT_THROW(held.as<IDispatch>(), corun::details::hresult_error);
    }
    EXPECT_EQ(destroyed, 1);
}
