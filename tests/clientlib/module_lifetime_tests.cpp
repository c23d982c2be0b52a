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

// DllCanUnloadNow of the loaded library.
class unload_probe {
public:
    explicit unload_probe(registered_wharfcore& dll) : can_unload_(dll.entry<can_unload_t>("DllCanUnloadNow")) {}
    bool held() const { return can_unload_() == S_FALSE; }
    // Bounded: a busy thread pool may still be ending work that held the module.
    bool released_within(std::chrono::milliseconds limit) const
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (can_unload_() != S_OK) {
            if (std::chrono::steady_clock::now() >= end)
                return false;
            Sleep(10);
        }
        return true;
    }
    // True when the module stays held all the while.
    bool held_throughout(std::chrono::milliseconds span) const
    {
        const auto end = std::chrono::steady_clock::now() + span;
        do {
            if (!held())
                return false;
            Sleep(10);
        } while (std::chrono::steady_clock::now() < end);
        return true;
    }

private:
    can_unload_t* can_unload_;
};

class ModuleLifetime : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(dll.result(), S_OK);
        ASSERT_TRUE(probe.released_within(std::chrono::seconds(10)));
    }

    IClassFactory* factory()
    {
        IClassFactory* made = nullptr;
        EXPECT_EQ(dll.entry<get_class_object_t>("DllGetClassObject")(CLSID_RemotePortLibrary, IID_IClassFactory,
                                                                     reinterpret_cast<void**>(&made)),
                  S_OK);
        return made;
    }
    // A library whose factory is released again.
    IRemotePortLibrary* library()
    {
        IClassFactory* made = factory();
        IRemotePortLibrary* object = nullptr;
        if (made) {
            EXPECT_EQ(made->CreateInstance(nullptr, __uuidof(IRemotePortLibrary), reinterpret_cast<void**>(&object)), S_OK);
            made->Release();
        }
        return object;
    }
    // Releases the object, which is the only thing a client holds: the module must have been
    // held until then, and be free afterwards.
    void expect_holds_the_module_alone(IUnknown* object, const char* what)
    {
        ASSERT_NE(object, nullptr) << what;
        EXPECT_TRUE(probe.held()) << what << " alone does not keep the module loaded";
        object->Release();
        EXPECT_TRUE(probe.released_within(std::chrono::seconds(10))) << what << " leaves the module held";
    }

    com_apartment com;
    registered_wharfcore dll;
    unload_probe probe{dll};
};

} // namespace

TEST_F(ModuleLifetime, EveryObjectAClientHoldsKeepsTheModuleLoadedByItself)
{
    expect_holds_the_module_alone(factory(), "the class factory");
    expect_holds_the_module_alone(library(), "the library");

    // The script array of the ports, while there are none: its elements would hold the
    // module too.
    IRemotePortLibrary* ports_library = library();
    ASSERT_NE(ports_library, nullptr);
    IDispatch* script_array = nullptr;
    EXPECT_EQ(ports_library->getPortsJs(&script_array), S_OK);
    EXPECT_EQ(ports_library->Release(), 0u);
    expect_holds_the_module_alone(script_array, "the script array");

    // A device of a port that is present when the library is made.
    wharf_test::test_node node;
    ASSERT_TRUE(node.registered());
    ASSERT_TRUE(node.write_port_name(L"COM21"));
    BOOL reboot = FALSE;
    ASSERT_TRUE(node.install(&reboot));
    ports_library = library();
    ASSERT_NE(ports_library, nullptr);
    SAFEARRAY* ports = nullptr;
    ASSERT_EQ(ports_library->getPorts(&ports), S_OK);
    IRemotePortDevice* device = first_element<IRemotePortDevice>(ports);
    SafeArrayDestroy(ports);
    EXPECT_EQ(ports_library->Release(), 0u);
    expect_holds_the_module_alone(device, "a device");

    // A shared port's description. The query closes its connection on the thread pool after
    // the call has returned, and holds the module until it has ended; the server ends once
    // that connection is closed, and a description that does not hold the module lets it go
    // right after.
    sim_server_process server(L"--clients 1 --port COM5=1");
    IRemotePortLibrary* query_library = library();
    ASSERT_NE(query_library, nullptr);
    BSTR host = SysAllocString(L".");
    SAFEARRAY* shared = nullptr;
    ASSERT_EQ(query_library->getRemoteSharedPorts(host, &shared), S_OK);
    SysFreeString(host);
    IRemotePortDescription* description = first_element<IRemotePortDescription>(shared);
    SafeArrayDestroy(shared);
    EXPECT_EQ(query_library->Release(), 0u);
    ASSERT_NE(description, nullptr);
    EXPECT_TRUE(server.ended_within(30000));
    EXPECT_TRUE(probe.held_throughout(std::chrono::milliseconds(500))) << "a description alone does not keep the module loaded";
    expect_holds_the_module_alone(description, "a description");
}
