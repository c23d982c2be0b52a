#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

#include "../support/import_patch.h"
#include "wharfcore/wharfcore.h"
#include "wharfcore_under_test.h"

namespace {

const wchar_t clsid_key[] = L"CLSID\\{C18B7B8C-07A8-4CA8-B19F-91D79F8F099F}";
const wchar_t appid_key[] = L"AppID\\{6731D341-22E1-4EE5-8C98-4E1727182329}";

bool key_exists(const wchar_t* path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

std::wstring string_value(const wchar_t* path, const wchar_t* name)
{
    wchar_t buffer[512] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t);
    if (RegGetValueW(HKEY_CLASSES_ROOT, path, name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
        return L"<missing>";
    return buffer;
}

const std::vector<std::wstring> registered_keys = {
    clsid_key,
    appid_key,
    L"AppID\\wharfcore.dll",
    L"wharfcore.RemotePortLibrary",
    L"wharfcore.RemotePortLibrary.1",
    L"TypeLib\\{59C653C1-B2D9-4CEA-A275-12413F797589}",
    L"Interface\\{F8A575B9-F555-4E91-8DC3-8FD615DDFE28}",
};

ITypeInfo* type_info_of(const IID& iid)
{
    ITypeLib* library = nullptr;
    if (FAILED(LoadRegTypeLib(LIBID_wharfnet_client, 1, 0, 0x0409, &library)))
        return nullptr;
    ITypeInfo* info = nullptr;
    library->GetTypeInfoOfGuid(iid, &info);
    library->Release();
    return info;
}

struct method_shape {
    const wchar_t* name;
    MEMBERID id;
    INVOKEKIND kind;
    std::vector<VARTYPE> params; // outer type of each parameter
};

// The referenced interface of a VT_PTR -> VT_USERDEFINED chain (after any SAFEARRAY level).
std::wstring pointee_name(ITypeInfo* info, const TYPEDESC* desc)
{
    while (desc->vt == VT_PTR || desc->vt == VT_SAFEARRAY)
        desc = desc->lptdesc;
    if (desc->vt != VT_USERDEFINED)
        return L"";
    ITypeInfo* referenced = nullptr;
    if (FAILED(info->GetRefTypeInfo(desc->hreftype, &referenced)))
        return L"";
    BSTR name = nullptr;
    referenced->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
    std::wstring result = name ? name : L"";
    SysFreeString(name);
    referenced->Release();
    return result;
}

} // namespace

TEST(Registration, RegisterWritesTheScriptsAndUnregisterUndoesAll)
{
    com_apartment com;
    remove_leftover_registration();
    for (const auto& key : registered_keys)
        ASSERT_FALSE(key_exists(key.c_str())) << "left over: " << std::string(key.begin(), key.end());
    {
        registered_wharfcore dll;
        ASSERT_EQ(dll.result(), S_OK);
        for (const auto& key : registered_keys)
            EXPECT_TRUE(key_exists(key.c_str())) << std::string(key.begin(), key.end());
        EXPECT_EQ(string_value(clsid_key, nullptr), L"RemotePortLibrary Class");
        EXPECT_EQ(string_value(clsid_key, L"AppID"), L"{6731D341-22E1-4EE5-8C98-4E1727182329}");
        EXPECT_EQ(string_value((std::wstring(clsid_key) + L"\\InprocServer32").c_str(), L"ThreadingModel"), L"Both");
        EXPECT_EQ(string_value((std::wstring(clsid_key) + L"\\ProgID").c_str(), nullptr), L"wharfcore.RemotePortLibrary.1");
        EXPECT_EQ(string_value(L"wharfcore.RemotePortLibrary\\CurVer", nullptr), L"wharfcore.RemotePortLibrary.1");
        EXPECT_EQ(string_value(appid_key, L"DllSurrogate"), L"");
        EXPECT_EQ(string_value(appid_key, nullptr), L"Velmor Software Tidewell");
        EXPECT_EQ(string_value(L"AppID\\wharfcore.dll", L"AppID"), L"{6731D341-22E1-4EE5-8C98-4E1727182329}");
        DWORD enabled = 0, size = sizeof(enabled);
        EXPECT_EQ(RegGetValueW(HKEY_CLASSES_ROOT, (std::wstring(clsid_key) + L"\\Elevation").c_str(), L"Enabled",
                               RRF_RT_REG_DWORD, nullptr, &enabled, &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(enabled, 1u);
    }
    for (const auto& key : registered_keys)
        EXPECT_FALSE(key_exists(key.c_str())) << "not removed: " << std::string(key.begin(), key.end());
    // The shared parents stay.
    EXPECT_TRUE(key_exists(L"CLSID"));
    EXPECT_TRUE(key_exists(L"AppID"));
}

TEST(Registration, ModuleInAFolderWithAnApostropheRegistersItsWholePath)
{
    com_apartment com;
    const std::wstring built = wharfcore_path();
    const std::wstring folder = built.substr(0, built.find_last_of(L'\\')) + L"\\O'Neil";
    const std::wstring copy = folder + L"\\wharfcore.dll";
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(built.c_str(), copy.c_str(), FALSE));
    HMODULE module = LoadLibraryW(copy.c_str());
    ASSERT_NE(module, nullptr);
    auto entry = [&](const char* name) {
        return reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    };
    ASSERT_EQ(entry("DllRegisterServer")(), S_OK);
    const std::wstring server = std::wstring(clsid_key) + L"\\InprocServer32";
    EXPECT_EQ(string_value(server.c_str(), nullptr), copy);
    EXPECT_EQ(string_value(server.c_str(), L"ThreadingModel"), L"Both");
    EXPECT_EQ(string_value(clsid_key, L"LocalizedString"), L"@" + copy + L",-1000");
    EXPECT_EQ(entry("DllUnregisterServer")(), S_OK);
    for (const auto& key : registered_keys)
        EXPECT_FALSE(key_exists(key.c_str())) << "not removed: " << std::string(key.begin(), key.end());
    FreeLibrary(module);
    DeleteFileW(copy.c_str());
    RemoveDirectoryW(folder.c_str());
}

namespace {

// The library's CoCreateInstance (which every registry script goes through), recording the
// thread locale it runs under and failing on demand.
using co_create_instance_fn = HRESULT WINAPI(REFCLSID, IUnknown*, DWORD, REFIID, void**);
import_patch* co_create_patch = nullptr;
LCID locale_seen = 0;
HRESULT co_create_answer = S_OK;

HRESULT WINAPI recording_co_create_instance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** out)
{
    locale_seen = GetThreadLocale();
    if (FAILED(co_create_answer)) {
        *out = nullptr;
        return co_create_answer;
    }
    return co_create_patch->original<co_create_instance_fn>()(clsid, outer, context, iid, out);
}

} // namespace

TEST(Registration, ScriptsRunUnderTheSystemLocaleAndTheCallersLocaleComesBack)
{
    com_apartment com;
    const HMODULE module = LoadLibraryW(wharfcore_path().c_str());
    ASSERT_NE(module, nullptr);
    struct unload {
        HMODULE module;
        ~unload() { FreeLibrary(module); }
    } unload_last{module};
    import_patch patch(module, "ole32.dll", "CoCreateInstance", reinterpret_cast<void*>(&recording_co_create_instance));
    ASSERT_TRUE(patch.active());
    co_create_patch = &patch;
    auto entry = [&](const char* name) {
        return reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    };
    const LCID system = ConvertDefaultLocale(LOCALE_SYSTEM_DEFAULT);
    const LCID callers = system == 0x0407 ? 0x040C : 0x0407;
    for (const char* step : {"DllRegisterServer", "DllUnregisterServer"}) {
        for (HRESULT answer : {S_OK, E_ACCESSDENIED}) {
            SetThreadLocale(callers);
            locale_seen = 0;
            co_create_answer = answer;
            const HRESULT hr = entry(step)();
            EXPECT_EQ(hr, answer) << step;
            EXPECT_EQ(locale_seen, system) << step;
            EXPECT_EQ(GetThreadLocale(), callers) << step << " " << std::hex << answer;
        }
    }
    co_create_answer = S_OK;
    SetThreadLocale(LOCALE_SYSTEM_DEFAULT);
}

TEST(TypeLibrary, EveryMethodHasItsDispidNameAndParameterTypes)
{
    com_apartment com;
    registered_wharfcore dll;
    ASSERT_EQ(dll.result(), S_OK);

    struct expectation {
        const IID* iid;
        std::vector<method_shape> methods;
    };
    const std::vector<expectation> faces = {
        {&__uuidof(IRemotePortLibrary),
         {{L"createPort", 1000, INVOKE_FUNC, {VT_VARIANT, VT_PTR}},
          {L"getRemoteSharedPorts", 1010, INVOKE_FUNC, {VT_BSTR, VT_PTR}},
          {L"getRemoteSharedPortsJs", 1020, INVOKE_FUNC, {VT_BSTR, VT_PTR}},
          {L"addListener", 3000, INVOKE_FUNC, {VT_PTR}},
          {L"removeListener", 4000, INVOKE_FUNC, {VT_PTR}},
          {L"getPorts", 4200, INVOKE_FUNC, {VT_PTR}},
          {L"getPortsJs", 4300, INVOKE_FUNC, {VT_PTR}}}},
        {&__uuidof(IRemotePortDevice),
         {{L"deleteDevice", 600, INVOKE_FUNC, {}},
          {L"port", 650, INVOKE_PROPERTYGET, {VT_PTR}},
          {L"devicePath", 660, INVOKE_PROPERTYGET, {VT_PTR}},
          {L"remoteHost", 710, INVOKE_PROPERTYGET, {VT_PTR}},
          {L"remoteHost", 710, INVOKE_PROPERTYPUT, {VT_BSTR}},
          {L"remotePort", 720, INVOKE_PROPERTYGET, {VT_PTR}},
          {L"remotePort", 720, INVOKE_PROPERTYPUT, {VT_UINT}},
          {L"connectionTimeout", 730, INVOKE_PROPERTYGET, {VT_PTR}},
          {L"connectionTimeout", 730, INVOKE_PROPERTYPUT, {VT_UINT}},
          {L"connectionAttempts", 740, INVOKE_PROPERTYGET, {VT_PTR}},
          {L"connectionAttempts", 740, INVOKE_PROPERTYPUT, {VT_UINT}},
          {L"login", 750, INVOKE_PROPERTYGET, {VT_PTR}},
          {L"login", 750, INVOKE_PROPERTYPUT, {VT_BSTR}},
          {L"password", 760, INVOKE_PROPERTYPUT, {VT_BSTR}},
          {L"domain", 770, INVOKE_PROPERTYGET, {VT_PTR}},
          {L"domain", 770, INVOKE_PROPERTYPUT, {VT_BSTR}}}},
        {&__uuidof(IRemotePortDescription),
         {{L"name", 10, INVOKE_PROPERTYGET, {VT_PTR}}, {L"port", 20, INVOKE_PROPERTYGET, {VT_PTR}}}},
    };
    for (const auto& face : faces) {
        ITypeInfo* info = type_info_of(*face.iid);
        ASSERT_NE(info, nullptr);
        // Dual: the interface part of the dispatch interface.
        HREFTYPE ref = 0;
        ITypeInfo* interface_part = info;
        if (SUCCEEDED(info->GetRefTypeOfImplType(-1, &ref)))
            info->GetRefTypeInfo(ref, &interface_part);
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(interface_part->GetTypeAttr(&attr), S_OK);
        // The inherited IUnknown and IDispatch slots are not counted here.
        ASSERT_EQ(attr->cFuncs, face.methods.size());
        interface_part->ReleaseTypeAttr(attr);
        for (std::size_t i = 0; i < face.methods.size(); ++i) {
            FUNCDESC* func = nullptr;
            ASSERT_EQ(interface_part->GetFuncDesc(static_cast<UINT>(i), &func), S_OK);
            const auto& expected = face.methods[i];
            BSTR name = nullptr;
            interface_part->GetDocumentation(func->memid, &name, nullptr, nullptr, nullptr);
            EXPECT_STREQ(name, expected.name);
            SysFreeString(name);
            EXPECT_EQ(func->memid, expected.id) << i;
            EXPECT_EQ(func->invkind, expected.kind) << i;
            ASSERT_EQ(func->cParams, static_cast<SHORT>(expected.params.size())) << i;
            for (std::size_t p = 0; p < expected.params.size(); ++p)
                EXPECT_EQ(func->lprgelemdescParam[p].tdesc.vt, expected.params[p]) << i << "/" << p;
            interface_part->ReleaseFuncDesc(func);
        }
        if (interface_part != info)
            interface_part->Release();
        info->Release();
    }

    // The array and object parameters name the right interfaces.
    ITypeInfo* info = type_info_of(__uuidof(IRemotePortLibrary));
    HREFTYPE ref = 0;
    ITypeInfo* part = info;
    if (SUCCEEDED(info->GetRefTypeOfImplType(-1, &ref)))
        info->GetRefTypeInfo(ref, &part);
    FUNCDESC* create = nullptr;
    ASSERT_EQ(part->GetFuncDesc(0, &create), S_OK);
    EXPECT_TRUE(create->lprgelemdescParam[0].paramdesc.wParamFlags & PARAMFLAG_FOPT);
    EXPECT_TRUE(create->lprgelemdescParam[1].paramdesc.wParamFlags & PARAMFLAG_FRETVAL);
    EXPECT_EQ(pointee_name(part, &create->lprgelemdescParam[1].tdesc), L"IRemotePortDevice");
    BSTR help = nullptr;
    part->GetDocumentation(create->memid, nullptr, &help, nullptr, nullptr);
    EXPECT_STREQ(help, L"Create serial device");
    SysFreeString(help);
    part->ReleaseFuncDesc(create);
    FUNCDESC* ports = nullptr;
    ASSERT_EQ(part->GetFuncDesc(5, &ports), S_OK);
    const TYPEDESC* outer = &ports->lprgelemdescParam[0].tdesc;
    ASSERT_EQ(outer->vt, VT_PTR);
    ASSERT_EQ(outer->lptdesc->vt, VT_SAFEARRAY);
    EXPECT_EQ(outer->lptdesc->lptdesc->vt, VT_PTR);
    EXPECT_EQ(pointee_name(part, outer), L"IRemotePortDevice");
    part->ReleaseFuncDesc(ports);
    FUNCDESC* shared = nullptr;
    ASSERT_EQ(part->GetFuncDesc(1, &shared), S_OK);
    EXPECT_EQ(pointee_name(part, &shared->lprgelemdescParam[1].tdesc), L"IRemotePortDescription");
    part->ReleaseFuncDesc(shared);
    if (part != info)
        part->Release();
    info->Release();

    // The listener is a plain interface with its two methods.
    ITypeInfo* listener = type_info_of(__uuidof(IRemotePortLibraryListener));
    ASSERT_NE(listener, nullptr);
    FUNCDESC* added = nullptr;
    ASSERT_EQ(listener->GetFuncDesc(0, &added), S_OK);
    EXPECT_EQ(added->memid, 1000);
    EXPECT_EQ(added->lprgelemdescParam[0].tdesc.vt, VT_SAFEARRAY);
    listener->ReleaseFuncDesc(added);
    listener->Release();
}
