// Stands in for the default browser in the About box tests: registered as the https handler,
// it appends the address it was started with, and a line feed, to the file named by its first
// argument. Usage: about_link_recorder <record file> <address>
#include <string>

#include <windows.h>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3)
        return 2;
    const std::wstring address = argv[2];
    std::string line(static_cast<std::size_t>(
                         WideCharToMultiByte(CP_UTF8, 0, address.c_str(), static_cast<int>(address.size()), nullptr, 0,
                                             nullptr, nullptr)),
                     '\0');
    WideCharToMultiByte(CP_UTF8, 0, address.c_str(), static_cast<int>(address.size()), line.data(),
                        static_cast<int>(line.size()), nullptr, nullptr);
    line += '\n';
    const HANDLE file = CreateFileW(argv[1], FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == line.size() ? 0 : 1;
}
