#include "trellum/registry_ex.h"

namespace Trellum {
namespace registry_ex {

std::optional<std::wstring> value::read_string()
{
    if (!key) {
        HKEY opened = nullptr;
        LSTATUS status;
        if (transaction)
            status = RegCreateKeyTransactedW(root, path.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &opened, nullptr,
                                             transaction, nullptr);
        else
            status = RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &opened, nullptr);
        if (status != ERROR_SUCCESS)
            throw error_creating_key(static_cast<std::uint32_t>(status));
        key.reset(opened);
    }

    const wchar_t* value_name = name.empty() ? nullptr : name.c_str();
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), value_name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ)
        return std::nullopt;

    // Room for an odd byte count and for a terminator the stored text may lack.
    std::wstring text(size / 2 + 2, L'\0');
    DWORD capacity = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key.get(), value_name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &capacity) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return std::nullopt;

    const auto end = text.find_last_not_of(L'\0');
    text.resize(end == std::wstring::npos ? 0 : end + 1);
    return text;
}

void value::close() noexcept
{
    key.reset();
    path.clear();
    path.shrink_to_fit();
    name.clear();
    name.shrink_to_fit();
}

} // namespace registry_ex
} // namespace Trellum
