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

#include "wharfcore/unique_handles.h"

namespace wharfcore {

struct comdb_traits {
    using pointer = HCOMDB;
    static pointer empty() noexcept { return HCOMDB_INVALID_HANDLE_VALUE; }
    static void close(pointer h) noexcept { ComDBClose(h); }
};
using unique_comdb = unique_any<comdb_traits>;

// A number claimed in the database: released again unless the holder is told to keep it.
class comdb_claim {
public:
    comdb_claim(HCOMDB database, DWORD number) noexcept : database_(database), number_(number) {}
    comdb_claim(const comdb_claim&) = delete;
    comdb_claim& operator=(const comdb_claim&) = delete;
    ~comdb_claim()
    {
        if (database_ != HCOMDB_INVALID_HANDLE_VALUE)
            ComDBReleasePort(database_, number_);
    }
    void keep() noexcept { database_ = HCOMDB_INVALID_HANDLE_VALUE; }

private:
    HCOMDB database_;
    DWORD number_;
};

} // namespace wharfcore
