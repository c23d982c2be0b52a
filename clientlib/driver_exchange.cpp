#include "driver_exchange.h"

#include <windows.h>

#include <memory>
#include <span>

#include "corun/errors.h"
#include "driver_buffers.h"
#include "wharfcore/unique_handles.h"

namespace wharfcore {
namespace driver {
namespace {

unique_file open_driver(const std::wstring& devicePath, std::uint32_t code)
{
    DWORD access = GENERIC_READ;
    if (!is_read_only_control(code))
        access |= GENERIC_WRITE;
    unique_file file(CreateFileW(devicePath.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        corun::throw_last_error();
    return file;
}

void send(const std::wstring& devicePath, std::uint32_t code, const std::vector<std::byte>& input)
{
    const unique_file file = open_driver(devicePath, code);
    DWORD returned = 0;
    if (!DeviceIoControl(file.get(), code, const_cast<std::byte*>(input.data()), static_cast<DWORD>(input.size()),
                         nullptr, 0, &returned, nullptr))
        corun::throw_last_error();
}

// The reply buffer and the number of bytes the driver wrote into it.
struct reply {
    std::unique_ptr<std::byte[]> buffer;
    DWORD written = 0;
    std::span<const std::byte> bytes() const noexcept { return {buffer.get(), written}; }
};

reply receive(const std::wstring& devicePath, std::uint32_t code)
{
    const unique_file file = open_driver(devicePath, code);
    reply result{std::make_unique<std::byte[]>(reply_buffer_size)}; // value-initialised: all zero
    if (!DeviceIoControl(file.get(), code, nullptr, 0, result.buffer.get(), static_cast<DWORD>(reply_buffer_size),
                         &result.written, nullptr))
        corun::throw_last_error();
    if (result.written > reply_buffer_size)
        corun::throw_win32_error(ERROR_INVALID_DATA);
    return result;
}

} // namespace

void SetString(const std::wstring& devicePath, std::uint32_t code, std::wstring_view value)
{
    send(devicePath, code, EncodeString(value));
}

void SetNumber(const std::wstring& devicePath, std::uint32_t code, std::uint32_t value)
{
    send(devicePath, code, EncodeNumber(value));
}

std::wstring GetString(const std::wstring& devicePath, std::uint32_t code)
{
    return DecodeString(receive(devicePath, code).bytes());
}

std::uint32_t GetNumber(const std::wstring& devicePath, std::uint32_t code)
{
    return DecodeNumber(receive(devicePath, code).bytes());
}

} // namespace driver
} // namespace wharfcore
