#pragma once
// Makes the thread pool refuse new work in this test program: while a pool_refusal lives, every
// call of TrySubmitThreadpoolCallback made through the program's imports fails with
// ERROR_NOT_ENOUGH_MEMORY; while a work_refusal lives, CreateThreadpoolWork does. The libraries
// under test are linked into the program, so their calls go through those imports.
#include <gtest/gtest.h>
#include <windows.h>

#include "import_patch.h"

// While it lives, the named kernel32 function fails with ERROR_NOT_ENOUGH_MEMORY and returns
// its type's zero (FALSE, null).
template <typename Result, typename... Arguments>
class import_refusal {
public:
    static constexpr long error = static_cast<long>(0x80070008UL); // HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY)

    explicit import_refusal(const char* function)
        : patch_{GetModuleHandleW(nullptr), "kernel32.dll", function, reinterpret_cast<void*>(&refuse)}
    {
        EXPECT_TRUE(patch_.active()) << "no import of " << function << " to redirect";
    }

private:
    static Result WINAPI refuse(Arguments...)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return Result{};
    }

    import_patch patch_;
};

class pool_refusal : public import_refusal<BOOL, PTP_SIMPLE_CALLBACK, PVOID, PTP_CALLBACK_ENVIRON> {
public:
    pool_refusal() : import_refusal("TrySubmitThreadpoolCallback") {}
};

class work_refusal : public import_refusal<PTP_WORK, PTP_WORK_CALLBACK, PVOID, PTP_CALLBACK_ENVIRON> {
public:
    work_refusal() : import_refusal("CreateThreadpoolWork") {}
};
