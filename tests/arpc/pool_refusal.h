#pragma once
// Makes the thread pool refuse work in this test program: while a pool_refusal lives, every
// call of TrySubmitThreadpoolCallback made through the program's imports fails with
// ERROR_NOT_ENOUGH_MEMORY. The libraries under test are linked into the program, so their
// calls go through those imports.
#include <gtest/gtest.h>
#include <windows.h>

class pool_refusal {
public:
    static constexpr long error = static_cast<long>(0x80070008UL); // HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY)

    pool_refusal() { EXPECT_GT(redirect(original(), reinterpret_cast<void*>(&refuse)), 0) << "no import to redirect"; }
    ~pool_refusal() { redirect(reinterpret_cast<void*>(&refuse), original()); }
    pool_refusal(const pool_refusal&) = delete;
    pool_refusal& operator=(const pool_refusal&) = delete;

private:
    static BOOL WINAPI refuse(PTP_SIMPLE_CALLBACK, PVOID, PTP_CALLBACK_ENVIRON)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }

    static void* original()
    {
        return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "TrySubmitThreadpoolCallback"));
    }

    // Rewrites every import slot of this program that holds from; returns how many there were.
    static int redirect(void* from, void* to)
    {
        auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        int replaced = 0;
        for (auto* module = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
             module->Name != 0; ++module) {
            for (auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk); slot->u1.Function != 0;
                 ++slot) {
                if (reinterpret_cast<void*>(slot->u1.Function) != from)
                    continue;
                DWORD protection = 0;
                VirtualProtect(&slot->u1.Function, sizeof(slot->u1.Function), PAGE_READWRITE, &protection);
                slot->u1.Function = reinterpret_cast<ULONG_PTR>(to);
                VirtualProtect(&slot->u1.Function, sizeof(slot->u1.Function), protection, &protection);
                ++replaced;
            }
        }
        return replaced;
    }
};
