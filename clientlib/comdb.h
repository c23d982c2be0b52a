#pragma once
// The COM port database of msports.dll. mingw ships the import library but no header, so the
// few entry points used here are declared from their documented signatures.
#include <windows.h>

extern "C" {

DECLARE_HANDLE(HCOMDB);
typedef HCOMDB* PHCOMDB;

#define HCOMDB_INVALID_HANDLE_VALUE (reinterpret_cast<HCOMDB>(INVALID_HANDLE_VALUE))

LONG WINAPI ComDBOpen(PHCOMDB PHComDB);
LONG WINAPI ComDBClose(HCOMDB HComDB);
LONG WINAPI ComDBClaimPort(HCOMDB HComDB, DWORD ComNumber, BOOL ForceClaim, PBOOL Forced);
LONG WINAPI ComDBReleasePort(HCOMDB HComDB, DWORD ComNumber);

}

#include "corun/errors.h"
#include "wharfcore/unique_handles.h"

namespace wharfcore {

struct comdb_traits {
    using pointer = HCOMDB;
    static pointer empty() noexcept { return HCOMDB_INVALID_HANDLE_VALUE; }
    static void close(pointer h) noexcept { ComDBClose(h); }
};
using unique_comdb = unique_any<comdb_traits>;

// A number claimed in the database with force, so that a reservation left by a device that is
// not present (an unplugged adapter) does not stop the creation. The claim is released again
// unless the holder is told to keep it; but a claim that took over such a reservation is never
// released: the reservation was not ours to give up.
class comdb_claim {
public:
    // Throws the database's error when it refuses the claim.
    comdb_claim(HCOMDB database, DWORD number) : database_(database), number_(number)
    {
        BOOL forced = FALSE;
        const LONG result = ComDBClaimPort(database, number, TRUE, &forced);
        if (result != ERROR_SUCCESS)
            corun::throw_win32_error(static_cast<unsigned long>(result));
        tookOver_ = forced != FALSE;
        if (tookOver_)
            database_ = HCOMDB_INVALID_HANDLE_VALUE;
    }
    comdb_claim(const comdb_claim&) = delete;
    comdb_claim& operator=(const comdb_claim&) = delete;
    ~comdb_claim()
    {
        if (database_ != HCOMDB_INVALID_HANDLE_VALUE)
            ComDBReleasePort(database_, number_);
    }
    void keep() noexcept { database_ = HCOMDB_INVALID_HANDLE_VALUE; }
    // True when the number was already reserved and the claim took the reservation over.
    bool tookOver() const noexcept { return tookOver_; }

private:
    HCOMDB database_;
    DWORD number_;
    bool tookOver_ = false;
};

} // namespace wharfcore
