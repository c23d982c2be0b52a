#include "system_message.h"

#include <windows.h>

#include "bracefmt/bracefmt.h"
#include "trellum/text_normalise.h"

std::wstring format_system_message(std::uint32_t code)
{
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                            FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    if (length == 0)
        return {};
    std::wstring text(buffer, length);
    LocalFree(buffer);
    collapse_whitespace(text);
    return text;
}

std::wstring format_connect_error(const std::wstring& text, long hr)
{
    return bracefmt::format(L"Error connecting to Tidewell Library: {0} ({1ub016xp})", text,
                            static_cast<std::uint32_t>(hr));
}
