#pragma once
// Whether a user name, password and domain are accepted by a server: a network logon, and the
// server's service pipe opened while impersonating it. Nothing is sent over the pipe.
#include <string>

#include <windows.h>

namespace wharfcore {

// S_OK, or throws corun::details::hresult_error with the failing step's HRESULT. The calling
// thread is no longer impersonating when it returns, on every path.
HRESULT CheckCredentials(const std::wstring& host, const std::wstring& user, const std::wstring& password,
                         const std::wstring& domain);

} // namespace wharfcore
