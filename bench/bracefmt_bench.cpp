// bracefmt against swprintf on two of the system's messages.
#include <cwchar>
#include <string>

#include "bench.h"
#include "bracefmt/bracefmt.h"

int main()
{
    const long iterations = 100000;
    const std::wstring text = L"The system cannot find the file specified.";
    const long hr = static_cast<long>(0x80070002UL);
    bench::compare(
        "error message, bracefmt vs swprintf",
        [&] {
            std::wstring s = bracefmt::format(L"Error creating device: {0} ({1ub016xp})", text, hr);
            bench::keep(s);
        },
        [&] {
            wchar_t buffer[256];
            std::swprintf(buffer, 256, L"Error creating device: %ls (0x%08lx)", text.c_str(), hr);
            std::wstring s(buffer);
            bench::keep(s);
        },
        iterations);

    unsigned major = 3, minor = 1, build = 2, revision = 45;
    bench::compare(
        "version text, bracefmt vs swprintf",
        [&] {
            std::wstring s = bracefmt::format(L"Version {1}.{2w2arf0}.{3w2arf0}.{4w4arf0}", text, major, minor,
                                              build, revision);
            bench::keep(s);
        },
        [&] {
            wchar_t buffer[64];
            std::swprintf(buffer, 64, L"Version %u.%02u.%02u.%04u", major, minor, build, revision);
            std::wstring s(buffer);
            bench::keep(s);
        },
        iterations);
    return 0;
}
