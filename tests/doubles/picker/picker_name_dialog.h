#pragma once
// The picker double's name dialog: shown by InvokeDialog when the prefix's setting asks for it
// (the README's run sets it), so that a person can add a computer by typing its name. Tests
// that keep their preset selection leave the setting unset.

// REG_DWORD under HKLM\Software\WharfTest\Doubles; nonzero: InvokeDialog asks for the name.
#define PICKER_ASKS_FOR_NAME L"PickerAsksForName"

#define PICKER_NAME_DIALOG 100
#define PICKER_NAME_EDIT 101
#define PICKER_NAME_CAPTION "Select Computer"
