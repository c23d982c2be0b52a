#pragma once
// Resource identifiers of the dialogs that wl shows itself.
#define WL_IDD_PROGRESS 130
#define WL_IDC_PROGRESS_BAR 109
