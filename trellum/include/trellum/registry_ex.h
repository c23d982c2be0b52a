#pragma once
// Reading values from the registry through a descriptor that keeps its key open.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include <windows.h>

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

// Owns one open registry key; closed with RegCloseKey.
class unique_hkey {
public:
    unique_hkey() noexcept = default;
    explicit unique_hkey(HKEY key) noexcept : key_(key) {}
    unique_hkey(unique_hkey&& other) noexcept : key_(std::exchange(other.key_, nullptr)) {}
    unique_hkey& operator=(unique_hkey&& other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.key_, nullptr));
        return *this;
    }
    unique_hkey(const unique_hkey&) = delete;
    unique_hkey& operator=(const unique_hkey&) = delete;
    ~unique_hkey() { reset(); }

    HKEY get() const noexcept { return key_; }
    explicit operator bool() const noexcept { return key_ != nullptr; }
    void reset(HKEY key = nullptr) noexcept
    {
        if (key_)
            RegCloseKey(key_);
        key_ = key;
    }

private:
    HKEY key_ = nullptr;
};

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
