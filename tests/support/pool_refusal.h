#pragma once
// Makes the thread pool refuse new callbacks in this test program: while a pool_refusal lives, every
// call of TrySubmitThreadpoolCallback made through the program's imports fails with
// ERROR_NOT_ENOUGH_MEMORY. The libraries under test are linked into the program, so their
// calls go through those imports.
#include <gtest/gtest.h>
#include <windows.h>

#include "import_patch.h"

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

// The same for CreateThreadpoolWork: while a work_refusal lives, no pool work item can be made.
class work_refusal {
public:
    static constexpr long error = pool_refusal::error;

    work_refusal() { EXPECT_TRUE(patch_.active()) << "no import to redirect"; }

private:
    static PTP_WORK WINAPI refuse(PTP_WORK_CALLBACK, PVOID, PTP_CALLBACK_ENVIRON)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }

    import_patch patch_{GetModuleHandleW(nullptr), "kernel32.dll", "CreateThreadpoolWork",
                        reinterpret_cast<void*>(&refuse)};
};
