#include "trellum/utf8.h"

#include <climits>

#include <windows.h>

std::wstring utf8_to_wide(std::string_view text)
{
    // The system takes 32-bit counts; longer input is not something the program handles.
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX))
        return {};
    const int count = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), count, nullptr, 0);
    if (length <= 0)
        return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    const int written = MultiByteToWideChar(CP_UTF8, 0, text.data(), count, wide.data(), length);
    if (written <= 0)
        return {};
    wide.resize(static_cast<std::size_t>(written));
    return wide;
}
