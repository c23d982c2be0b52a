#pragma once
// Small holders for the security objects the pipe transport's server half works with: a
// self-relative security descriptor, and an access token that may carry the means to end an
// impersonation.
#include <memory>
#include <string_view>

#include <windows.h>

namespace arpc {

// Owns a self-relative security descriptor, or nothing (the default security of the object
// it is used for). Copies duplicate the descriptor.
class security_descriptor {
public:
    security_descriptor() noexcept = default;
    // From an SDDL string; throws corun::details::hresult_error when it does not parse.
    static security_descriptor from_sddl(std::wstring_view sddl);

    security_descriptor(const security_descriptor& other);
    security_descriptor& operator=(const security_descriptor& other);
    security_descriptor(security_descriptor&& other) noexcept;
    security_descriptor& operator=(security_descriptor&& other) noexcept;
    ~security_descriptor();

    PSECURITY_DESCRIPTOR get() const noexcept { return descriptor_; }
    explicit operator bool() const noexcept { return descriptor_ != nullptr; }

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr; // from LocalAlloc
};

// Ends an impersonation of the thread that holds it.
class revert_to_self {
public:
    virtual ~revert_to_self() = default;
    // RevertToSelf(); whether it succeeded.
    virtual bool revert() noexcept;
};

// An access token handle (null when empty) and, optionally, the revert object of the
// impersonation under which it was opened.
class access_token {
public:
    access_token() noexcept = default;
    access_token(const access_token&) = delete;
    access_token& operator=(const access_token&) = delete;
    access_token(access_token&& other) noexcept;
    access_token& operator=(access_token&& other) noexcept;
    virtual ~access_token() { clear(); }

    // Closes the handle and drops the revert object; the impersonation, if any, goes on.
    virtual void clear() noexcept;

    void attach(HANDLE token) noexcept;
    void set_revert(std::unique_ptr<revert_to_self> revert) noexcept { revert_ = std::move(revert); }
    HANDLE get() const noexcept { return token_; }
    bool empty() const noexcept { return token_ == nullptr; }
    revert_to_self* revert_object() const noexcept { return revert_.get(); }

private:
    HANDLE token_ = nullptr;
    std::unique_ptr<revert_to_self> revert_;
};

} // namespace arpc
