// Finding servers: the broadcast request, the reply listener and the query of one server.
#include "main_dialog.h"

#include <aclapi.h>

#include <optional>

#include "arpc/mailslot.h"
#include "corun/errors.h"
#include "corun/thread_pool.h"
#include "discovery_packet.h"
#include "discovery_queue.h"

namespace {

constexpr wchar_t request_mailslot[] = L"wharfnet_{533EA321-B1EE-4116-A26D-88FE85C8EA7E}_v1.01";
constexpr wchar_t reply_mailslot[] = L"wharfnet_{D28E780C-1CD1-4816-A5D0-BDD937CBACC9}_v1.01";

std::wstring dns_host_name()
{
    std::vector<wchar_t> buffer(260);
    for (;;) {
        DWORD size = static_cast<DWORD>(buffer.size());
        if (GetComputerNameExW(ComputerNameDnsHostname, buffer.data(), &size))
            return std::wstring(buffer.data(), size);
        if (GetLastError() != ERROR_MORE_DATA)
            return {};
        buffer.resize(size + 1);
    }
}

// Everyone may read and write the reply mailslot, whatever account a server runs under.
struct everyone_security {
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    PACL acl = nullptr;
    SECURITY_DESCRIPTOR descriptor{};
    SECURITY_ATTRIBUTES attributes{};

    everyone_security()
    {
        if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone))
            corun::throw_last_error();
        EXPLICIT_ACCESSW access{};
        access.grfAccessPermissions = GENERIC_READ | GENERIC_WRITE;
        access.grfAccessMode = SET_ACCESS;
        access.grfInheritance = NO_INHERITANCE;
        access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
        access.Trustee.ptstrName = static_cast<LPWSTR>(everyone);
        if (const DWORD error = SetEntriesInAclW(1, &access, nullptr, &acl))
            corun::throw_win32_error(error);
        if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE))
            corun::throw_last_error();
        attributes.nLength = sizeof(attributes);
        attributes.lpSecurityDescriptor = &descriptor;
        attributes.bInheritHandle = FALSE;
    }
    everyone_security(const everyone_security&) = delete;
    everyone_security& operator=(const everyone_security&) = delete;
    ~everyone_security()
    {
        if (acl)
            LocalFree(acl);
        if (everyone)
            FreeSid(everyone);
    }
};

} // namespace

corun::details::fire_and_forget main_dialog::discover_servers()
{
    operation_scope scope(operations.shared());
    try {
        EnableWindow(discover_button, FALSE);
        const std::vector<std::byte> packet = make_discovery_packet(dns_host_name());
        // Every host of the domain, this one included. Where the domain broadcast cannot be
        // written, the same request goes to this machine's own request mailslot, which the
        // broadcast would have reached too.
        for (const wchar_t* host : {L"*", L"."}) {
            bool written = false;
            try {
                arpc::Mailslot endpoint;
                const HRESULT hr = endpoint.OpenClient(host, request_mailslot);
                if (FAILED(hr))
                    corun::throw_error(hr);
                endpoint.SetCancellationToken(cancel_source);
                (void)co_await corun::details::future_awaiter<unsigned long>(endpoint.Write(packet));
                written = true;
            } catch (const corun::details::operation_cancelled&) {
                break;
            } catch (const corun::details::hresult_error&) {
            }
            if (written)
                break;
        }
        // The way back to the window is taken while the dialog is held, and followed without:
        // a window that is gone ends the wait with operation_cancelled.
        std::optional<wl::resume_awaiter<wl::wli::link_poster>> back;
        {
            auto alive = scope.use();
            if (!alive)
                co_return;
            back.emplace(resume_poster(), thread_id);
        }
        co_await *back;
        EnableWindow(discover_button, TRUE);
    } catch (...) {
    }
}

corun::details::future<void> main_dialog::listen_for_servers()
{
    operation_scope scope(operations.shared());
    auto& self = co_await corun::details::current_promise{};
    corun::details::cancellation_token token(cancel_source, &self.cancelled);
    everyone_security security;
    arpc::Mailslot endpoint;
    const HRESULT hr = endpoint.CreateServer(reply_mailslot, &security.attributes);
    if (FAILED(hr))
        corun::throw_error(hr);
    endpoint.SetCancellationToken(cancel_source);
    // Each server's query runs on by itself: one that never ends or that fails keeps no other
    // server's reply waiting, and its error stays its own. Anyone may write to the mailslot, so
    // the queue bounds what replies start; a server's replies while its query runs only have it
    // queried once more afterwards.
    panel::discovery_queue queries([tracker = operations.shared(), this](const std::wstring& name) {
        return query_server(tracker, this, name);
    });
    while (!token.is_cancelled()) {
        std::vector<std::byte> datagram;
        try {
            datagram = co_await endpoint.Read();
        } catch (const corun::details::operation_cancelled&) {
            break;
        } catch (const corun::details::hresult_error& error) {
            // A datagram too long for the buffer is skipped; anything else ends the listener.
            if (error.code() != HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER) || token.is_cancelled())
                throw;
            continue;
        }
        auto name = parse_discovery_reply(datagram);
        if (!name)
            continue;
        // Left behind by a close that did not wait for it, the listener starts nothing more.
        auto alive = scope.use();
        if (!alive)
            break;
        (void)queries.offer(std::move(*name));
    }
}

corun::details::future<void> main_dialog::add_server(std::wstring name)
{
    auto tracker = operations.shared();
    // The query opens the server's pipe before it first suspends, which takes as long as a busy
    // server or the network makes it: never on the caller's thread (the UI thread for a picked
    // computer).
    co_await corun::resume_background();
    co_await query_server(std::move(tracker), this, std::move(name));
}

corun::details::future<void> main_dialog::query_server(std::shared_ptr<operation_tracker::state> tracker,
                                                       main_dialog* dialog, std::wstring name)
{
    // Not waited for at the dialog's end: the query may wait long for the server's pipe or its
    // answer, and the dialog is reached only while it is alive.
    operation_link link(std::move(tracker));
    auto& self = co_await corun::details::current_promise{};
    std::optional<corun::details::cancellation_token> token;
    Trellum::com::details::ref<IRemotePortLibraryEx> port_library;
    {
        auto started = link.use();
        if (!started)
            co_return;
        token.emplace(dialog->cancel_source.body(), &self.cancelled);
        port_library = dialog->library;
    }
    // Without holding the dialog: closing never waits for an open that takes its time.
    auto query = port_library->getRemoteSharedPortsAsync(name);
    port_library.reset();
    std::vector<SharedPortRecord> ports = co_await std::move(query);
    auto alive = link.use();
    if (!alive)
        co_return;
    {
        std::lock_guard guard(dialog->servers_lock);
        dialog->servers[name] = std::move(ports);
    }
    dialog->refresh_server_tree();
}
