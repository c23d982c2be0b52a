#pragma once
// One exchange with a port's driver: opens the device path, sends one I/O control, closes.
// The handle is never kept. Failures throw corun::details::hresult_error.
#include <cstdint>
#include <string>
#include <string_view>

namespace wharfcore {
namespace driver {

void SetString(const std::wstring& devicePath, std::uint32_t code, std::wstring_view value);
void SetNumber(const std::wstring& devicePath, std::uint32_t code, std::uint32_t value);
std::wstring GetString(const std::wstring& devicePath, std::uint32_t code);
std::uint32_t GetNumber(const std::wstring& devicePath, std::uint32_t code);

} // namespace driver
} // namespace wharfcore
