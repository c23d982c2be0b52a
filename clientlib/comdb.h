#pragma once
// The COM port database of msports.dll. mingw ships the import library but no header, so the
// few entry points used here are declared from their documented signatures. The library itself
// does not import them: msports.dll is not a KnownDLL, so it takes them from the system
// folder's copy through comdb_database.
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

// A database handle of a program that imports msports.dll itself (the tests' own look at the
// database).
struct comdb_traits {
    using pointer = HCOMDB;
    static pointer empty() noexcept { return HCOMDB_INVALID_HANDLE_VALUE; }
    static void close(pointer h) noexcept { ComDBClose(h); }
};
using unique_comdb = unique_any<comdb_traits>;

// The database of the system folder's msports.dll, open for the life of the object.
class comdb_database {
public:
    // Throws the loader's error when msports.dll or one of its entry points cannot be loaded,
    // and E_FAIL when the database does not open.
    comdb_database();
    comdb_database(const comdb_database&) = delete;
    comdb_database& operator=(const comdb_database&) = delete;
    ~comdb_database();
    LONG claim(DWORD number, BOOL force, BOOL* forced) const noexcept { return claim_(handle_, number, force, forced); }
    LONG release(DWORD number) const noexcept { return release_(handle_, number); }

private:
    unique_hmodule module_;
    decltype(&ComDBClose) close_ = nullptr;
    decltype(&ComDBClaimPort) claim_ = nullptr;
    decltype(&ComDBReleasePort) release_ = nullptr;
    HCOMDB handle_ = HCOMDB_INVALID_HANDLE_VALUE;
};

// A number claimed in the database with force, so that a reservation left by a device that is
// not present (an unplugged adapter) does not stop the creation. The claim is released again
// unless the holder is told to keep it; but a claim that took over such a reservation is never
// released: the reservation was not ours to give up.
class comdb_claim {
public:
    // Throws the database's error when it refuses the claim. The database must outlive the
    // claim.
    comdb_claim(const comdb_database& database, DWORD number) : database_(&database), number_(number)
    {
        BOOL forced = FALSE;
        const LONG result = database.claim(number, TRUE, &forced);
        if (result != ERROR_SUCCESS)
            corun::throw_win32_error(static_cast<unsigned long>(result));
        tookOver_ = forced != FALSE;
        if (tookOver_)
            database_ = nullptr;
    }
    comdb_claim(const comdb_claim&) = delete;
    comdb_claim& operator=(const comdb_claim&) = delete;
    ~comdb_claim()
    {
        if (database_)
            database_->release(number_);
    }
    void keep() noexcept { database_ = nullptr; }
    // True when the number was already reserved and the claim took the reservation over.
    bool tookOver() const noexcept { return tookOver_; }

private:
    const comdb_database* database_;
    DWORD number_;
    bool tookOver_ = false;
};

} // namespace wharfcore
