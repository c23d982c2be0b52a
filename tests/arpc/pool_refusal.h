#pragma once
// Makes the thread pool refuse work in this test program: while a pool_refusal lives, every
// call of TrySubmitThreadpoolCallback made through the program's imports fails with
// ERROR_NOT_ENOUGH_MEMORY. The libraries under test are linked into the program, so their
// calls go through those imports.
#include <gtest/gtest.h>
#include <windows.h>

#include "../support/import_patch.h"

class pool_refusal {
public:
    static constexpr long error = static_cast<long>(0x80070008UL); // HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY)

    pool_refusal() { EXPECT_TRUE(patch_.active()) << "no import to redirect"; }

private:
    static BOOL WINAPI refuse(PTP_SIMPLE_CALLBACK, PVOID, PTP_CALLBACK_ENVIRON)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }

    import_patch patch_{GetModuleHandleW(nullptr), "kernel32.dll", "TrySubmitThreadpoolCallback",
                        reinterpret_cast<void*>(&refuse)};
};
