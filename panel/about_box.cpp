// The About box of the main window.
#include "about_dialog.h"
#include "main_dialog.h"

void main_dialog::show_about()
{
    about_dialog about(L"Velmor Software Tidewell");
    about.show(hwnd());
}
