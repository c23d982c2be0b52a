// Stand-in for the COM port database of msports.dll. Windows keeps the database as a bitmap
// in HKLM\SYSTEM\CurrentControlSet\Control\COM Name Arbiter, value "ComDB" (REG_BINARY, one
// bit per COM number, bit 0 of byte 0 = COM1); this double keeps it there the same way, 256
// numbers wide, and serialises its read-modify-write cycles across processes with a named
// mutex.
#include <windows.h>

#include <new>
#include <vector>

#include "../support/doubles_knobs.h"
#include "../support/system_folder_copy.h"

namespace {

constexpr wchar_t arbiter_key[] = L"SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";
constexpr wchar_t database_value[] = L"ComDB";
constexpr DWORD database_bytes = 32;  // COM1 to COM256
constexpr wchar_t database_mutex[] = L"Local\\WharfTestComDB";

struct database {
    HKEY key;
    HANDLE mutex;
};

class mutex_hold {
public:
    explicit mutex_hold(HANDLE mutex) noexcept : mutex_(mutex)
    {
        DWORD rc = WaitForSingleObject(mutex_, INFINITE);
        if (rc != WAIT_OBJECT_0 && rc != WAIT_ABANDONED)
            mutex_ = nullptr;
    }
    ~mutex_hold()
    {
        if (mutex_)
            ReleaseMutex(mutex_);
    }
    mutex_hold(const mutex_hold&) = delete;
    mutex_hold& operator=(const mutex_hold&) = delete;
    bool held() const noexcept { return mutex_ != nullptr; }

private:
    HANDLE mutex_;
};

// Reads the bitmap; a missing or short value reads as zeros up to the database size.
LONG read_bits(HKEY key, std::vector<BYTE>& bits)
{
    bits.assign(database_bytes, 0);
    DWORD type = 0, size = 0;
    LONG rc = RegQueryValueExW(key, database_value, nullptr, &type, nullptr, &size);
    if (rc == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS)
        return rc;
    if (type != REG_BINARY)
        return ERROR_SUCCESS;
    if (size > bits.size())
        bits.resize(size);
    DWORD read = static_cast<DWORD>(bits.size());
    rc = RegQueryValueExW(key, database_value, nullptr, &type, bits.data(), &read);
    if (rc == ERROR_SUCCESS && bits.size() < database_bytes)
        bits.resize(database_bytes);
    return rc;
}

LONG write_bits(HKEY key, const std::vector<BYTE>& bits)
{
    return RegSetValueExW(key, database_value, 0, REG_BINARY, bits.data(),
                          static_cast<DWORD>(bits.size()));
}

database* from_handle(HANDLE handle) noexcept
{
    return handle && handle != INVALID_HANDLE_VALUE ? static_cast<database*>(handle) : nullptr;
}

bool in_range(DWORD number) noexcept { return number >= 1 && number <= database_bytes * 8; }

} // namespace

extern "C" {

LONG WINAPI ComDBOpen(HANDLE* out)
{
    if (!out)
        return ERROR_INVALID_PARAMETER;
    *out = INVALID_HANDLE_VALUE;
    if (wharf_test::read_knob(wharf_test::knob_comdb_open_fails))
        return ERROR_ACCESS_DENIED;
    auto* db = new (std::nothrow) database{};
    if (!db)
        return ERROR_NOT_ENOUGH_MEMORY;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, arbiter_key, 0, nullptr, 0,
                              KEY_READ | KEY_WRITE, nullptr, &db->key, nullptr);
    if (rc != ERROR_SUCCESS) {
        delete db;
        return rc;
    }
    db->mutex = CreateMutexW(nullptr, FALSE, database_mutex);
    if (!db->mutex) {
        rc = static_cast<LONG>(GetLastError());
        RegCloseKey(db->key);
        delete db;
        return rc ? rc : ERROR_ACCESS_DENIED;
    }
    *out = db;
    return ERROR_SUCCESS;
}

LONG WINAPI ComDBClose(HANDLE handle)
{
    database* db = from_handle(handle);
    if (!db)
        return ERROR_INVALID_PARAMETER;
    RegCloseKey(db->key);
    CloseHandle(db->mutex);
    delete db;
    return ERROR_SUCCESS;
}

LONG WINAPI ComDBClaimPort(HANDLE handle, DWORD number, BOOL force, BOOL* forced)
{
    wharf_test::write_knob(wharf_test::record_claim_from_system_folder,
                           wharf_test::in_system_folder(reinterpret_cast<const void*>(&ComDBClaimPort)) ? 1 : 0);
    database* db = from_handle(handle);
    if (!db || !in_range(number))
        return ERROR_INVALID_PARAMETER;
    try {
        mutex_hold hold(db->mutex);
        if (!hold.held())
            return ERROR_ACCESS_DENIED;
        std::vector<BYTE> bits;
        LONG rc = read_bits(db->key, bits);
        if (rc != ERROR_SUCCESS)
            return rc;
        BYTE& byte = bits[(number - 1) / 8];
        BYTE mask = static_cast<BYTE>(1u << ((number - 1) % 8));
        bool taken = (byte & mask) != 0;
        if (forced)
            *forced = taken && force;
        if (taken)
            return force ? ERROR_SUCCESS : ERROR_SHARING_VIOLATION;
        byte |= mask;
        return write_bits(db->key, bits);
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG WINAPI ComDBReleasePort(HANDLE handle, DWORD number)
{
    database* db = from_handle(handle);
    if (!db || !in_range(number))
        return ERROR_INVALID_PARAMETER;
    try {
        mutex_hold hold(db->mutex);
        if (!hold.held())
            return ERROR_ACCESS_DENIED;
        std::vector<BYTE> bits;
        LONG rc = read_bits(db->key, bits);
        if (rc != ERROR_SUCCESS)
            return rc;
        bits[(number - 1) / 8] &= static_cast<BYTE>(~(1u << ((number - 1) % 8)));
        return write_bits(db->key, bits);
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

} // extern "C"
