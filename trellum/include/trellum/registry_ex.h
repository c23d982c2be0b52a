#pragma once
// Reading values from the registry through a descriptor that keeps its key open.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include <windows.h>

#include "corun/unique_any.h"

namespace Trellum {
namespace registry_ex {

class generic_exception : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Opening (or creating) the key failed; code is the Win32 error the system returned.
class error_creating_key : public generic_exception {
public:
    explicit error_creating_key(std::uint32_t code) : generic_exception("error creating key"), code_(code) {}
    std::uint32_t code() const noexcept { return code_; }

private:
    std::uint32_t code_;
};

// An open registry key; closed with RegCloseKey.
struct hkey_traits {
    using pointer = HKEY;
    static pointer empty() noexcept { return nullptr; }
    static void close(pointer h) noexcept { RegCloseKey(h); }
};
using unique_hkey = corun::details::unique_any<hkey_traits>;

// Names one value: root key, key path, value name (empty: the key's default value) and an
// optional kernel transaction (not owned). The key is opened on first use and stays open.
struct value {
    HKEY root = nullptr;
    std::wstring path;
    std::wstring name;
    HANDLE transaction = nullptr;
    unique_hkey key;

    // The text of a REG_SZ value without its terminating NULs. No value when the value is
    // missing, has another type or cannot be read. Opening creates a missing key; a failure
    // to open throws error_creating_key.
    std::optional<std::wstring> read_string();

    // Closes the key and forgets the path and the name.
    void close() noexcept;
};

} // namespace registry_ex
} // namespace Trellum
