// "Add Server…": a computer chosen in the directory object picker.
#include "main_dialog.h"

#include <objsel.h>

#include "discovery_packet.h"

namespace {

// {17D6CCD8-3B7B-11D2-B9E0-00C04FD8DBF7}
constexpr CLSID clsid_picker = {0x17D6CCD8, 0x3B7B, 0x11D2, {0xB9, 0xE0, 0x00, 0xC0, 0x4F, 0xD8, 0xDB, 0xF7}};
// {0C87E64E-3B7A-11D2-B9E0-00C04FD8DBF7}
constexpr IID iid_picker = {0x0C87E64E, 0x3B7A, 0x11D2, {0xB9, 0xE0, 0x00, 0xC0, 0x4F, 0xD8, 0xDB, 0xF7}};

} // namespace

__int64 pick_computer(main_dialog& dialog)
{
    Trellum::com::details::ref<IDsObjectPicker> picker;
    if (FAILED(CoCreateInstance(clsid_picker, nullptr, CLSCTX_INPROC_SERVER, iid_picker,
                                reinterpret_cast<void**>(picker.put()))))
        return 0;
    DSOP_SCOPE_INIT_INFO scope{};
    scope.cbSize = sizeof(scope);
    scope.flType = 0x3FC;
    scope.flScope = 0;
    scope.FilterFlags.Uplevel.flBothModes = DSOP_FILTER_COMPUTERS;
    scope.FilterFlags.flDownlevel = DSOP_DOWNLEVEL_FILTER_COMPUTERS;
    DSOP_INIT_INFO init{};
    init.cbSize = sizeof(init);
    init.cDsScopeInfos = 1;
    init.aDsScopeInfos = &scope;
    if (FAILED(picker->Initialize(&init)))
        return 0;
    Trellum::com::details::ref<IDataObject> data;
    if (picker->InvokeDialog(dialog.hwnd(), data.put()) != S_OK || !data)
        return 0;
    FORMATETC format{static_cast<CLIPFORMAT>(RegisterClipboardFormatW(CFSTR_DSOP_DS_SELECTION_LIST)), nullptr,
                     DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM medium{};
    if (FAILED(data->GetData(&format, &medium)))
        return 0;
    if (const auto* list = static_cast<const DS_SELECTION_LIST*>(GlobalLock(medium.hGlobal))) {
        // A picked name becomes a pipe path's host part as a reply's does, and is held to the
        // same check.
        if (list->cItems == 1 && list->aDsSelection[0].pwzName && is_computer_name(list->aDsSelection[0].pwzName)) {
            std::wstring name = list->aDsSelection[0].pwzName;
            (void)dialog.add_server(std::move(name));
        }
        GlobalUnlock(medium.hGlobal);
    }
    ReleaseStgMedium(&medium);
    return 0;
}
