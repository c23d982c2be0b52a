#include "arpc/security.h"

#include <cstring>
#include <new>
#include <string>
#include <utility>

#include <sddl.h>

#include "corun/errors.h"

namespace arpc {

security_descriptor security_descriptor::from_sddl(std::wstring_view sddl)
{
    const std::wstring text(sddl);
    security_descriptor result;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1, &result.descriptor_,
                                                              nullptr))
        corun::throw_last_error();
    return result;
}

security_descriptor::security_descriptor(const security_descriptor& other)
{
    if (!other.descriptor_)
        return;
    const DWORD size = GetSecurityDescriptorLength(other.descriptor_);
    descriptor_ = LocalAlloc(LMEM_FIXED, size);
    if (!descriptor_)
        throw std::bad_alloc();
    std::memcpy(descriptor_, other.descriptor_, size);
}

security_descriptor& security_descriptor::operator=(const security_descriptor& other)
{
    if (this != &other) {
        security_descriptor copy(other);
        *this = std::move(copy);
    }
    return *this;
}

security_descriptor::security_descriptor(security_descriptor&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, nullptr))
{
}

security_descriptor& security_descriptor::operator=(security_descriptor&& other) noexcept
{
    if (this != &other) {
        if (descriptor_)
            LocalFree(descriptor_);
        descriptor_ = std::exchange(other.descriptor_, nullptr);
    }
    return *this;
}

security_descriptor::~security_descriptor()
{
    if (descriptor_)
        LocalFree(descriptor_);
}

bool revert_to_self::revert() noexcept
{
    return ::RevertToSelf() != FALSE;
}

access_token::access_token(access_token&& other) noexcept
    : token_(std::exchange(other.token_, nullptr)), revert_(std::move(other.revert_))
{
}

access_token& access_token::operator=(access_token&& other) noexcept
{
    if (this != &other) {
        clear();
        token_ = std::exchange(other.token_, nullptr);
        revert_ = std::move(other.revert_);
    }
    return *this;
}

void access_token::clear() noexcept
{
    if (token_)
        CloseHandle(token_);
    token_ = nullptr;
    revert_.reset();
}

void access_token::attach(HANDLE token) noexcept
{
    clear();
    token_ = token;
}

} // namespace arpc
