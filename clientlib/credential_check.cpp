// The credential check: log the user on for network use and, while impersonating that logon,
// open the server's service pipe. Nothing is sent; a pipe that opens means good credentials.
#include <memory>
#include <string>

#include <windows.h>

#include "arpc/pipe_transport.h"
#include "corun/errors.h"
#include "credential_check.h"
#include "service_pipe.h"
#include "wharfcore/unique_handles.h"

namespace wharfcore {
namespace {

// Ends the calling thread's impersonation when it goes out of scope.
class revert_to_self {
public:
    revert_to_self() noexcept = default;
    revert_to_self(const revert_to_self&) = delete;
    revert_to_self& operator=(const revert_to_self&) = delete;
    ~revert_to_self() { RevertToSelf(); }
};

} // namespace

HRESULT CheckCredentials(const std::wstring& host, const std::wstring& user, const std::wstring& password,
                         const std::wstring& domain)
{
    unique_handle token;
    // An empty domain goes to the logon as "", never as a null pointer.
    if (!LogonUserW(user.c_str(), domain.c_str(), password.c_str(), LOGON32_LOGON_NETWORK_CLEARTEXT,
                    LOGON32_PROVIDER_DEFAULT, token.put()))
        corun::throw_last_error();

    if (!ImpersonateLoggedOnUser(token.get()))
        corun::throw_last_error();
    revert_to_self revert;

    auto transport = std::make_shared<arpc::PipeTransport>();
    const HRESULT hr = transport->Connect(host, service_pipe_name, 10000, 1);
    if (FAILED(hr))
        corun::throw_error(hr);
    transport->Close();
    return S_OK;
}

} // namespace wharfcore
