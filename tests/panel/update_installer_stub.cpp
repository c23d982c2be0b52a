// Stand-in installer: writes its command line and whether the handle after --wait-process is a
// process handle valid here (its process id) into the file named by WHARF_INSTALLER_RECORD.
#include <cstdio>
#include <cwchar>

#include <windows.h>

int wmain()
{
    wchar_t record[MAX_PATH]{};
    if (!GetEnvironmentVariableW(L"WHARF_INSTALLER_RECORD", record, MAX_PATH))
        return 2;
    const wchar_t* line = GetCommandLineW();
    const wchar_t* arg = wcsstr(line, L" --wait-process ");
    DWORD pid = 0;
    if (arg) {
        unsigned long long value = wcstoull(arg + 16, nullptr, 10);
        pid = GetProcessId(reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(value)));
    }
    FILE* f = _wfopen(record, L"wb");
    if (!f)
        return 3;
    fprintf(f, "%ls\n%lu\n", line, static_cast<unsigned long>(pid));
    fclose(f);
    return 0;
}
