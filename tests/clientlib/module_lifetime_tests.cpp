#include <windows.h>
#include <oleauto.h>

#include <chrono>

#include "server/sim_server_process.h"
#include "test_node.h"
#include "wharfcore/wharfcore.h"
#include "wharfcore_under_test.h"

namespace {

using get_class_object_t = HRESULT STDAPICALLTYPE(REFCLSID, REFIID, void**);
using can_unload_t = HRESULT STDAPICALLTYPE();

// The first element of a SAFEARRAY of VT_DISPATCH, with a reference of its own, as interface I.
template <class I> I* first_element(SAFEARRAY* array)
{
    I* element = nullptr;
    LONG index = 0;
    IDispatch* dispatch = nullptr;
    if (array && SUCCEEDED(SafeArrayGetElement(array, &index, &dispatch))) {
        dispatch->QueryInterface(__uuidof(I), reinterpret_cast<void**>(&element));
        dispatch->Release();
    }
    return element;
}

} // namespace

TEST(ModuleLifetime, EveryObjectAClientHoldsKeepsTheModuleLoaded)
{
    com_apartment com;
    registered_wharfcore dll;
    ASSERT_EQ(dll.result(), S_OK);
    auto can_unload = dll.entry<can_unload_t>("DllCanUnloadNow");

    IClassFactory* factory = nullptr;
    ASSERT_EQ(dll.entry<get_class_object_t>("DllGetClassObject")(CLSID_RemotePortLibrary, IID_IClassFactory,
                                                                  reinterpret_cast<void**>(&factory)),
              S_OK);
    IRemotePortLibrary* library = nullptr;

    // A shared port's description. The query closes its connection on the thread pool after
    // the call has returned; the node's installation below leaves it ample time to end.
    IRemotePortDescription* description = nullptr;
    {
        sim_server_process server(L"--port COM5=1");
        ASSERT_EQ(factory->CreateInstance(nullptr, __uuidof(IRemotePortLibrary), reinterpret_cast<void**>(&library)),
                  S_OK);
        BSTR host = SysAllocString(L".");
        SAFEARRAY* shared = nullptr;
        ASSERT_EQ(library->getRemoteSharedPorts(host, &shared), S_OK);
        SysFreeString(host);
        description = first_element<IRemotePortDescription>(shared);
        SafeArrayDestroy(shared);
        ASSERT_NE(description, nullptr);
        EXPECT_EQ(library->Release(), 0u);
    }

    // A device of a port that is present when the library is made.
    wharf_test::test_node node;
    ASSERT_TRUE(node.registered());
    ASSERT_TRUE(node.write_port_name(L"COM21"));
    BOOL reboot = FALSE;
    ASSERT_TRUE(node.install(&reboot));
    ASSERT_EQ(factory->CreateInstance(nullptr, __uuidof(IRemotePortLibrary), reinterpret_cast<void**>(&library)), S_OK);
    SAFEARRAY* ports = nullptr;
    ASSERT_EQ(library->getPorts(&ports), S_OK);
    IRemotePortDevice* device = first_element<IRemotePortDevice>(ports);
    SafeArrayDestroy(ports);
    ASSERT_NE(device, nullptr);
    IDispatch* script_array = nullptr;
    ASSERT_EQ(library->getPortsJs(&script_array), S_OK);
    EXPECT_EQ(library->Release(), 0u);

    IUnknown* held[] = {device, description, script_array, factory};
    for (IUnknown* object : held) {
        EXPECT_EQ(can_unload(), S_FALSE);
        object->Release();
    }
    // Bounded: a busy thread pool may still be ending the query's connection.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (can_unload() != S_OK && std::chrono::steady_clock::now() < end)
        Sleep(10);
    EXPECT_EQ(can_unload(), S_OK);
}
