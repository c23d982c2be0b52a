// Linked into a test build of wharfpanel.exe only: counts the datagrams that the program reads
// from a mailslot of its own (its reply mailslot) in REG_DWORD ReplyReads under
// HKCU\Software\WharfTest\Panel, so that a test knows when the listener has read all that it was
// sent. The program reads a datagram only once the mailslot holds one, so each read counts one.
#include <windows.h>

#include <atomic>

#include "support/import_patch.h"

namespace {

using read_fn = BOOL WINAPI(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
read_fn* original_read = nullptr;
std::atomic<DWORD> reads{0};

BOOL WINAPI counting_read(HANDLE file, LPVOID buffer, DWORD size, LPDWORD done, LPOVERLAPPED overlapped)
{
    const BOOL ok = original_read(file, buffer, size, done, overlapped);
    const DWORD error = GetLastError();
    // Only a mailslot's own (server) handle answers GetMailslotInfo.
    if (GetMailslotInfo(file, nullptr, nullptr, nullptr, nullptr)) {
        const DWORD count = ++reads;
        RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\WharfTest\\Panel", L"ReplyReads", REG_DWORD, &count,
                        sizeof(count));
    }
    SetLastError(error);
    return ok;
}

struct install_counter {
    install_counter()
        : patch(GetModuleHandleW(nullptr), "kernel32.dll", "ReadFile", reinterpret_cast<void*>(&counting_read))
    {
        original_read = patch.original<read_fn>();
    }
    import_patch patch;
};

const install_counter counter;

} // namespace
