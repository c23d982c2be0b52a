#include <windows.h>
#include <oleauto.h>

#include <cstdlib>
#include <new>

#include "port_description.h"
#include "wharfcore/wharfcore.h"
#include "wharfcore_under_test.h"

namespace {

using get_class_object_t = HRESULT STDAPICALLTYPE(REFCLSID, REFIID, void**);
using can_unload_t = HRESULT STDAPICALLTYPE();

// The port descriptions this program makes itself count here.
long description_locks = 0;

// {00000000-1111-2222-3333-444444444444}
constexpr CLSID unknown_clsid = {0x00000000, 0x1111, 0x2222, {0x33, 0x33, 0x44, 0x44, 0x44, 0x44, 0x44, 0x44}};

IClassFactory* factory_for(const registered_wharfcore& dll, const CLSID& clsid)
{
    IClassFactory* factory = nullptr;
    auto get = dll.entry<get_class_object_t>("DllGetClassObject");
    EXPECT_EQ(get(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    return factory;
}

} // namespace

namespace Trellum::com {
long module_lock() noexcept { return ++description_locks; }
long module_unlock() noexcept { return --description_locks; }
} // namespace Trellum::com

namespace {
// Allocations of the test thread that are still allowed before every further one fails;
// negative when none fail.
DWORD failing_thread = 0;
long allocations_left = -1;
} // namespace

void* operator new(std::size_t size)
{
    if (allocations_left >= 0 && GetCurrentThreadId() == failing_thread && allocations_left-- == 0) {
        allocations_left = -1;
        throw std::bad_alloc();
    }
    if (void* block = std::malloc(size ? size : 1))
        return block;
    throw std::bad_alloc();
}

void operator delete(void* block) noexcept
{
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept
{
    std::free(block);
}

TEST(Factory, UnknownClassGivesAFactoryThatCannotCreate)
{
    com_apartment com;
    registered_wharfcore dll;
    IClassFactory* factory = factory_for(dll, unknown_clsid);
    ASSERT_NE(factory, nullptr);
    IUnknown* object = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(factory->Release(), 0u);
}

TEST(Factory, AggregationAndUnknownInterfacesCreateNothing)
{
    com_apartment com;
    registered_wharfcore dll;
    auto can_unload = dll.entry<can_unload_t>("DllCanUnloadNow");
    IClassFactory* factory = factory_for(dll, CLSID_RemotePortLibrary);
    ASSERT_NE(factory, nullptr);
    IUnknown* object = nullptr;
    EXPECT_EQ(factory->CreateInstance(reinterpret_cast<IUnknown*>(factory), IID_IUnknown, reinterpret_cast<void**>(&object)),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, reinterpret_cast<void**>(&object)), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    // Nothing but the factory itself is left holding the module.
    EXPECT_EQ(can_unload(), S_FALSE);
    factory->Release();
    EXPECT_EQ(can_unload(), S_OK);
}

TEST(Factory, FactoriesAndServerLocksHoldTheModule)
{
    com_apartment com;
    registered_wharfcore dll;
    auto can_unload = dll.entry<can_unload_t>("DllCanUnloadNow");
    EXPECT_EQ(can_unload(), S_OK);
    IClassFactory* factory = factory_for(dll, CLSID_RemotePortLibrary);
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(can_unload(), S_FALSE);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory->Release();
    EXPECT_EQ(can_unload(), S_FALSE) << "the server lock outlives the factory";
    factory = factory_for(dll, CLSID_RemotePortLibrary);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(can_unload(), S_FALSE);
    factory->Release();
    EXPECT_EQ(can_unload(), S_OK);
}

TEST(Library, FacesAndDispatchTypeInformation)
{
    com_apartment com;
    registered_wharfcore dll;
    IRemotePortLibrary* library = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_RemotePortLibrary, nullptr, CLSCTX_ALL, __uuidof(IRemotePortLibrary),
                               reinterpret_cast<void**>(&library)),
              S_OK);
    IRemotePortLibraryEx* ex = nullptr;
    EXPECT_EQ(library->QueryInterface(__uuidof(IRemotePortLibraryEx), reinterpret_cast<void**>(&ex)), S_OK);
    IDispatch* dispatch = nullptr;
    ASSERT_EQ(library->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
    EXPECT_EQ(static_cast<void*>(dispatch), static_cast<void*>(library));
    ITypeInfo* info = nullptr;
    EXPECT_EQ(dispatch->GetTypeInfo(1, 0, &info), DISP_E_BADINDEX);
    EXPECT_EQ(dispatch->GetTypeInfo(0, 0, nullptr), E_POINTER);
    // Late binding works whatever the caller's locale.
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"getPortsJs")};
    DISPID id = 0;
    EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, names, 1, 0x0407, &id), S_OK);
    EXPECT_EQ(id, 4300);
    dispatch->Release();
    ex->Release();
    EXPECT_EQ(library->Release(), 0u);
}

TEST(PortDescription, NameAndPortByDispidAndByName)
{
    com_apartment com;
    registered_wharfcore dll;
    IRemotePortDescription* port = wharfcore::PortDescription::Make({L"COM3", 7});
    ASSERT_NE(port, nullptr);
    IDispatch* dispatch = port;
    DISPPARAMS none = {};
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(dispatch->Invoke(10, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr), S_OK);
    EXPECT_EQ(result.vt, VT_BSTR);
    EXPECT_STREQ(result.bstrVal, L"COM3");
    VariantClear(&result);
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"port")};
    DISPID id = 0;
    ASSERT_EQ(dispatch->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
    EXPECT_EQ(id, 20);
    ASSERT_EQ(dispatch->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr), S_OK);
    EXPECT_EQ(result.vt, VT_UI4);
    EXPECT_EQ(result.uintVal, 7u);
    // An empty name is a null BSTR.
    IRemotePortDescription* unnamed = wharfcore::PortDescription::Make({L"", 1});
    BSTR name = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(unnamed->get_name(&name), S_OK);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(unnamed->Release(), 0u);
    IRemotePortDeviceEx* wrong = nullptr;
    EXPECT_EQ(port->QueryInterface(__uuidof(IRemotePortDeviceEx), reinterpret_cast<void**>(&wrong)), E_NOINTERFACE);
    EXPECT_EQ(port->Release(), 0u);
}

TEST(PortDescription, ArrayThatCannotBeFilledReleasesWhatItHeld)
{
    const std::vector<SharedPortRecord> records = {{L"COM1", 1}, {L"COM2", 2}, {L"COM3", 3}};
    SAFEARRAY* array = wharfcore::PortDescription::MakeArray(records);
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(description_locks, 3);
    EXPECT_EQ(SafeArrayDestroy(array), S_OK);
    EXPECT_EQ(description_locks, 0);

    // The second description cannot be made.
    failing_thread = GetCurrentThreadId();
    allocations_left = 1;
    EXPECT_THROW(wharfcore::PortDescription::MakeArray(records), std::bad_alloc);
    allocations_left = -1;
    EXPECT_EQ(description_locks, 0) << "the first description was left behind with its array";
}
