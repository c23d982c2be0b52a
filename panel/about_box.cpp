// The About box of the main window.
#include "about_dialog.h"
#include "main_dialog.h"

void main_dialog::show_about()
{
    // The update check must not ask its question while the box is up.
    modal_scope modal(*this);
    about_dialog about(L"Velmor Software Tidewell");
    about.show(hwnd());
}
