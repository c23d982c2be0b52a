// Stand-in for the directory object picker (class DsObjectPicker), registered in a test prefix
// in place of Wine's. It records how it was initialised under HKCU\Software\WharfTest\Picker
// (REG_DWORD flType, BothModes, Downlevel, Scopes, Options, HadOwner) and returns no selection,
// or, when the string value "Selection" is there, that one computer name. In a prefix whose
// HKLM\Software\WharfTest\Doubles value "PickerAsksForName" is nonzero (the README's run) it asks
// instead, in a small dialog owned by the caller's window, for the name to return: OK returns the
// typed name, Cancel (or an empty name) no selection.
// Loaded in the program's process, it also lets a test know when a server's query
// has started to wait for a busy pipe: from the first InvokeDialog on, every WaitNamedPipeW that
// wharfcore.dll counts up, before it waits, REG_DWORD PipeWaits and a REG_DWORD named by the
// pipe's path (its waits for that pipe).
#include <windows.h>
#include <objsel.h>

#include <atomic>
#include <cstring>
#include <new>
#include <string>

#include "import_patch.h"
#include "picker_name_dialog.h"

namespace {

std::atomic<long> objects{0};
std::atomic<long> locks{0};

// {17D6CCD8-3B7B-11D2-B9E0-00C04FD8DBF7}
constexpr CLSID clsid_picker = {0x17D6CCD8, 0x3B7B, 0x11D2, {0xB9, 0xE0, 0x00, 0xC0, 0x4F, 0xD8, 0xDB, 0xF7}};
// {0C87E64E-3B7A-11D2-B9E0-00C04FD8DBF7}
constexpr IID iid_picker = {0x0C87E64E, 0x3B7A, 0x11D2, {0xB9, 0xE0, 0x00, 0xC0, 0x4F, 0xD8, 0xDB, 0xF7}};

void record(const wchar_t* name, DWORD value)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\WharfTest\\Picker", 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    RegCloseKey(key);
}

std::atomic<DWORD> pipe_waits{0};
std::atomic<decltype(&WaitNamedPipeW)> original_wait{nullptr};

SRWLOCK wait_record_lock = SRWLOCK_INIT;

BOOL WINAPI counting_wait(LPCWSTR name, DWORD timeout)
{
    AcquireSRWLockExclusive(&wait_record_lock);
    HKEY key = nullptr;
    if (name && RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\WharfTest\\Picker", 0, nullptr, 0,
                                KEY_SET_VALUE | KEY_QUERY_VALUE, nullptr, &key, nullptr) == ERROR_SUCCESS) {
        DWORD count = 0;
        DWORD size = sizeof(count);
        RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&count), &size);
        ++count;
        RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count), sizeof(count));
        RegCloseKey(key);
    }
    record(L"PipeWaits", ++pipe_waits);
    ReleaseSRWLockExclusive(&wait_record_lock);
    return original_wait.load()(name, timeout);
}

// Once per process, for the rest of it: the double stays loaded, since the library's import
// table points into it, and the patch is never undone (at the process's end the library may be
// gone already).
void watch_pipe_waits()
{
    static const bool watching = [] {
        const HMODULE library = GetModuleHandleW(L"wharfcore.dll");
        HMODULE self = nullptr;
        if (!library || !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                                            reinterpret_cast<LPCWSTR>(&counting_wait), &self))
            return false;
        original_wait = &WaitNamedPipeW;
        auto* patch = new (std::nothrow)
            import_patch(library, "kernel32.dll", "WaitNamedPipeW", reinterpret_cast<void*>(&counting_wait));
        return patch && patch->active();
    }();
    (void)watching;
}

template <class Base> class unknown_impl : public Base {
public:
    unknown_impl() { ++objects; }
    virtual ~unknown_impl() { --objects; }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

protected:
    HRESULT query(REFIID riid, const IID& own, void** out)
    {
        if (!out)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == own) {
            *out = static_cast<Base*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }

private:
    std::atomic<ULONG> refs_{1};
};

// One DS_SELECTION_LIST in global memory, the name stored after it.
class selection_data : public unknown_impl<IDataObject> {
public:
    explicit selection_data(std::wstring name) : name_(std::move(name)) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override { return query(riid, IID_IDataObject, out); }
    HRESULT STDMETHODCALLTYPE GetData(FORMATETC* format, STGMEDIUM* medium) override
    {
        if (!format || !medium)
            return E_POINTER;
        if (format->cfFormat != RegisterClipboardFormatW(CFSTR_DSOP_DS_SELECTION_LIST) || !(format->tymed & TYMED_HGLOBAL))
            return DV_E_FORMATETC;
        const SIZE_T header = sizeof(DS_SELECTION_LIST);
        const SIZE_T size = header + (name_.size() + 1) * sizeof(wchar_t);
        HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
        if (!memory)
            return E_OUTOFMEMORY;
        auto* list = static_cast<DS_SELECTION_LIST*>(GlobalLock(memory));
        auto* text = reinterpret_cast<wchar_t*>(reinterpret_cast<char*>(list) + header);
        std::memcpy(text, name_.c_str(), (name_.size() + 1) * sizeof(wchar_t));
        list->cItems = 1;
        list->cFetchedAttributes = 0;
        list->aDsSelection[0].pwzName = text;
        GlobalUnlock(memory);
        medium->tymed = TYMED_HGLOBAL;
        medium->hGlobal = memory;
        medium->pUnkForRelease = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DUnadvise(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }

private:
    std::wstring name_;
};

bool asks_for_name()
{
    DWORD value = 0;
    DWORD size = sizeof(value);
    return RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\WharfTest\\Doubles", PICKER_ASKS_FOR_NAME, RRF_RT_REG_DWORD,
                        nullptr, &value, &size) == ERROR_SUCCESS &&
           value != 0;
}

// The typed name goes to the buffer of 512 characters that WM_INITDIALOG's parameter points to.
INT_PTR CALLBACK name_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_INITDIALOG:
        SetWindowLongPtrW(dialog, DWLP_USER, lparam);
        SendDlgItemMessageW(dialog, PICKER_NAME_EDIT, EM_LIMITTEXT, 511, 0);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDOK) {
            auto* name = reinterpret_cast<wchar_t*>(GetWindowLongPtrW(dialog, DWLP_USER));
            GetDlgItemTextW(dialog, PICKER_NAME_EDIT, name, 512);
            EndDialog(dialog, IDOK);
            return TRUE;
        }
        if (LOWORD(wparam) == IDCANCEL) {
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

// The name dialog, modal to the owner; false when the user cancelled or left the name empty.
bool ask_for_name(HWND owner, wchar_t (&name)[512])
{
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&name_dialog_proc), &self))
        return false;
    return DialogBoxParamW(self, MAKEINTRESOURCEW(PICKER_NAME_DIALOG), owner, name_dialog_proc,
                           reinterpret_cast<LPARAM>(name)) == IDOK &&
           name[0] != L'\0';
}

class picker : public unknown_impl<IDsObjectPicker> {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override { return query(riid, iid_picker, out); }
    HRESULT STDMETHODCALLTYPE Initialize(PDSOP_INIT_INFO init) override
    {
        if (!init)
            return E_POINTER;
        record(L"Scopes", init->cDsScopeInfos);
        record(L"Options", init->flOptions);
        if (init->cDsScopeInfos > 0 && init->aDsScopeInfos) {
            const DSOP_SCOPE_INIT_INFO& scope = init->aDsScopeInfos[0];
            record(L"flType", scope.flType);
            record(L"BothModes", scope.FilterFlags.Uplevel.flBothModes);
            record(L"Downlevel", scope.FilterFlags.flDownlevel);
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE InvokeDialog(HWND owner, IDataObject** selections) override
    {
        if (!selections)
            return E_POINTER;
        *selections = nullptr;
        watch_pipe_waits();
        record(L"HadOwner", owner != nullptr);
        wchar_t name[512] = {};
        if (asks_for_name()) {
            if (!ask_for_name(owner, name))
                return S_FALSE; // the user cancelled
        } else {
            DWORD size = sizeof(name) - sizeof(wchar_t);
            if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\WharfTest\\Picker", L"Selection", RRF_RT_REG_SZ, nullptr,
                             name, &size) != ERROR_SUCCESS)
                return S_FALSE; // the user cancelled
        }
        *selections = new (std::nothrow) selection_data(name);
        return *selections ? S_OK : E_OUTOFMEMORY;
    }
};

class factory : public unknown_impl<IClassFactory> {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override { return query(riid, IID_IClassFactory, out); }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        auto* object = new (std::nothrow) picker;
        if (!object)
            return E_OUTOFMEMORY;
        const HRESULT hr = object->QueryInterface(riid, out);
        object->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        lock ? ++locks : --locks;
        return S_OK;
    }
};

} // namespace

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (clsid != clsid_picker)
        return CLASS_E_CLASSNOTAVAILABLE;
    auto* object = new (std::nothrow) factory;
    if (!object)
        return E_OUTOFMEMORY;
    const HRESULT hr = object->QueryInterface(riid, out);
    object->Release();
    return hr;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return objects == 0 && locks == 0 ? S_OK : S_FALSE;
}
