// wharf_sim_server: a simulated server for tests. It listens on the service pipe (or --pipe)
// on this machine and answers IServer calls; method 0 returns the ports given with --port.
//
//   --port NAME=NUMBER   a shared port (repeatable, in reply order)
//   --pipe NAME          pipe name (default: the service pipe)
//   --mode MODE          normal | slow | never | first-never | close | bad-count | bad-name |
//                        short | split | incoming | junk | busy | flood (first-never: the first
//                        shared-ports call gets no answer, later ones the normal one; busy: the
//                        pipe's one instance is kept taken, and a client that finds it busy is
//                        told to wait --delay-ms for it; flood: the reply, then dropped messages
//                        until the client goes)
//   --delay-ms N         delay of slow replies and between the writes of split (default 200)
//   --lifetime-ms N      the process ends after N ms whatever happens (default 30000)
//   --clients N          the process ends when N clients have come and gone (default: no limit)
//   --listeners N        pipe instances waiting for clients at once (default 4)
//   --ready-event NAME   a named event set once the pipe accepts clients
//   --seen-event NAME    a named event set whenever a shared-ports call arrives
//   --discovery 1        answers discovery requests on the servers' mailslot with a reply
//                        naming this server (--name), written to the requester's reply mailslot;
//                        the mailslot exists before the ready event is set
//   --answered-semaphore NAME  a named semaphore released once for every request answered
//   --announce-ms N      looks every N ms for this machine's reply mailslot and writes that reply
//                        to it once each time it appears (Wine cannot deliver the domain-wide
//                        request)
//   --name NAME          the server name in replies (default ".")
//
// Besides the IServer calls, a call of method report_method (not an IServer method) is
// answered with a u32: how many frames this client sent that were not calls (a client that
// answers the server's own call, in incoming mode, sends one). Every other frame of a
// non-client origin is otherwise ignored.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>

#include "arpc/pipe_transport.h"
#include "corun/blocking_wait.h"
#include "corun/detached_thread.h"
#include "wharfcore/iserver_proxy.h"
#include "wharfcore/shared_port_record.h"

namespace {

struct options {
    std::wstring pipe = L"wharfnet_{C1862EC9-6AC5-454E-B16C-C1349EE0CBEE}_v1.01";
    std::wstring mode = L"normal";
    std::vector<SharedPortRecord> ports;
    DWORD delay_ms = 200;
    DWORD lifetime_ms = 30000;
    long clients = 0;
    long listeners = 4;
    std::wstring ready_event;
    std::wstring seen_event;
    std::wstring answered_semaphore;
    bool discovery = false;
    DWORD announce_ms = 0;
    std::wstring name = L".";
};

options settings;
std::atomic<long> clients_done{0};
std::atomic<long> port_calls{0};
HANDLE seen = nullptr;
HANDLE answered = nullptr;

using bytes = std::vector<std::byte>;

bytes encode_ports(const std::vector<SharedPortRecord>& ports)
{
    bytes out;
    iserver_codec::put_u32(out, static_cast<std::uint32_t>(ports.size()));
    for (const auto& port : ports) {
        iserver_codec::put_u32(out, static_cast<std::uint32_t>(port.name.size()));
        const auto* units = reinterpret_cast<const std::byte*>(port.name.data());
        out.insert(out.end(), units, units + 2 * port.name.size());
        iserver_codec::put_u32(out, port.port);
    }
    return out;
}

// A blocking write on the overlapped handle that keeps the completion off the thread pool
// (the low bit of the event).
bool raw_write(HANDLE pipe, const void* data, DWORD size)
{
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1);
    DWORD written = 0;
    BOOL ok = WriteFile(pipe, data, size, nullptr, &overlapped);
    if (ok || GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(pipe, &overlapped, &written, TRUE);
    CloseHandle(event);
    return ok && written == size;
}

void write(arpc::PipeTransport& pipe, std::shared_ptr<arpc::Message> message)
{
    corun::details::wait_get(pipe.Write(std::move(message)));
}

constexpr std::uint16_t report_method = 0x7FFF;

bytes answer(const arpc::Message& call)
{
    iserver_codec::reader in(std::span<const std::byte>(call.payload(), call.length));
    bytes out;
    switch (call.method_id) {
    case 0:
        return encode_ports(settings.ports);
    case 1:
        iserver_codec::put_u32(out, in.u32() + 1);
        return out;
    case 2:
        in.u32();
        in.u32();
        iserver_codec::put_block(out, in.block());
        return out;
    case 3:
        iserver_codec::put_u32(out, static_cast<std::uint32_t>(in.block().size()));
        return out;
    case 4:
        iserver_codec::put_block(out, bytes(in.u32(), std::byte{0xAB}));
        return out;
    default:
        iserver_codec::put_u32(out, 0);
        return out;
    }
}

constexpr wchar_t request_slot[] = L"wharfnet_{533EA321-B1EE-4116-A26D-88FE85C8EA7E}_v1.01";
constexpr wchar_t reply_slot[] = L"wharfnet_{D28E780C-1CD1-4816-A5D0-BDD937CBACC9}_v1.01";

// A discovery packet: u32 count, then that many UTF-16 units.
bytes discovery_packet(const std::wstring& name)
{
    bytes out;
    iserver_codec::put_u32(out, static_cast<std::uint32_t>(name.size()));
    const auto* units = reinterpret_cast<const std::byte*>(name.data());
    out.insert(out.end(), units, units + 2 * name.size());
    return out;
}

bool send_reply(const std::wstring& host)
{
    const std::wstring path = L"\\\\" + host + L"\\mailslot\\" + reply_slot;
    HANDLE slot = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (slot == INVALID_HANDLE_VALUE)
        return false;
    const bytes packet = discovery_packet(settings.name);
    DWORD written = 0;
    const bool ok = WriteFile(slot, packet.data(), static_cast<DWORD>(packet.size()), &written, nullptr);
    CloseHandle(slot);
    return ok;
}

// This machine's request mailslot, made before the server tells it is ready so that no request
// of a program started right after is missed.
HANDLE open_request_slot()
{
    const std::wstring path = std::wstring(L"\\\\.\\mailslot\\") + request_slot;
    return CreateMailslotW(path.c_str(), 0, MAILSLOT_WAIT_FOREVER, nullptr);
}

void answer_discovery(HANDLE slot)
{
    std::vector<std::byte> buffer(1024);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(slot, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr))
            continue;
        if (got < 4)
            continue;
        std::uint32_t count = 0;
        std::memcpy(&count, buffer.data(), 4);
        if (4ull + 2ull * count != got)
            continue;
        const std::wstring requester(reinterpret_cast<const wchar_t*>(buffer.data() + 4), count);
        // The requester's host, or this machine where host paths cannot be reached.
        const bool sent = (!requester.empty() && send_reply(requester)) || send_reply(L".");
        if (sent && answered)
            ReleaseSemaphore(answered, 1, nullptr);
    }
}

bool reply_slot_exists()
{
    const std::wstring path = std::wstring(L"\\\\.\\mailslot\\") + reply_slot;
    HANDLE slot = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (slot == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(slot);
    return true;
}

void announce()
{
    bool told = false;
    for (;;) {
        if (!told)
            told = send_reply(L".");
        else if (!reply_slot_exists())
            told = false; // that program ended; tell the next one
        Sleep(settings.announce_ms);
    }
}

// Returns false when the client is to be dropped.
bool serve_call(arpc::PipeTransport& pipe, const arpc::Message& call)
{
    const std::wstring& mode = settings.mode;
    bool first_port_call = false;
    if (call.method_id == 0) {
        first_port_call = port_calls++ == 0;
        if (seen)
            SetEvent(seen);
    }
    if (mode == L"first-never" && first_port_call)
        return true;
    if (call.method_id != 0 || mode == L"normal" || mode == L"first-never") {
        write(pipe, arpc::BuildReply(call, answer(call)));
        return true;
    }
    if (mode == L"slow") {
        Sleep(settings.delay_ms);
        write(pipe, arpc::BuildReply(call, answer(call)));
    } else if (mode == L"never") {
    } else if (mode == L"close") {
        return false;
    } else if (mode == L"bad-count") {
        bytes payload = encode_ports(settings.ports);
        const std::uint32_t count = static_cast<std::uint32_t>(settings.ports.size()) + 5;
        std::memcpy(payload.data(), &count, 4);
        write(pipe, arpc::BuildReply(call, payload));
    } else if (mode == L"bad-name") {
        bytes payload;
        iserver_codec::put_u32(payload, 1);
        iserver_codec::put_u32(payload, 100); // a hundred code units announced, two follow
        payload.insert(payload.end(), {std::byte{'C'}, std::byte{0}, std::byte{'O'}, std::byte{0}});
        write(pipe, arpc::BuildReply(call, payload));
    } else if (mode == L"short") {
        write(pipe, arpc::BuildReply(call, bytes{std::byte{1}, std::byte{0}}));
    } else if (mode == L"split") {
        auto reply = arpc::BuildReply(call, answer(call));
        if (!raw_write(pipe.Handle(), reply.get(), arpc::header_size))
            return false;
        Sleep(settings.delay_ms);
        const DWORD rest = reply->length;
        const DWORD half = rest / 2;
        if (!raw_write(pipe.Handle(), reply->payload(), half))
            return false;
        Sleep(settings.delay_ms);
        if (!raw_write(pipe.Handle(), reply->payload() + half, rest - half))
            return false;
    } else if (mode == L"incoming") {
        bytes argument;
        iserver_codec::put_u32(argument, 42);
        write(pipe, arpc::BuildCall(0, arpc::origin_server, 3, argument));
        write(pipe, arpc::BuildReply(call, answer(call)));
    } else if (mode == L"flood") {
        write(pipe, arpc::BuildReply(call, answer(call)));
        for (std::uint32_t i = 0;; ++i)
            write(pipe, arpc::BuildCall(i, arpc::origin_dropped, 0, bytes(16, std::byte{0x5A})));
    } else if (mode == L"junk") {
        write(pipe, arpc::BuildCall(call.call_id, arpc::origin_dropped, 0, bytes(70000, std::byte{0x5A})));
        auto unknown = arpc::BuildReply(call, bytes{std::byte{9}});
        unknown->call_id = call.call_id + 1000;
        write(pipe, unknown);
        write(pipe, arpc::BuildReply(call, answer(call)));
        write(pipe, arpc::BuildReply(call, encode_ports({})));
    }
    return true;
}

void serve(std::shared_ptr<arpc::PipeTransport> pipe)
{
    std::uint32_t not_calls = 0;
    try {
        for (;;) {
            std::shared_ptr<arpc::message_t> received = corun::details::wait_get(pipe->Read());
            const arpc::Message& message = *received->message;
            if (message.origin != arpc::origin_client) {
                ++not_calls;
                continue;
            }
            if (message.method_id == report_method) {
                bytes count;
                iserver_codec::put_u32(count, not_calls);
                write(*pipe, arpc::BuildReply(message, count));
                continue;
            }
            if (!serve_call(*pipe, message))
                break;
        }
    } catch (...) {
    }
    pipe.reset(); // closes this instance
    if (settings.clients > 0 && ++clients_done >= settings.clients)
        ExitProcess(0);
}

void accept_clients(HANDLE ready)
{
    for (;;) {
        auto pipe = std::make_shared<arpc::PipeTransport>();
        arpc::security_descriptor defaults;
        if (pipe->Listen(settings.pipe, defaults) < 0)
            ExitProcess(2);
        if (ready)
            SetEvent(ready);
        try {
            corun::details::wait_get(pipe->WaitClient({}, {}));
        } catch (...) {
            continue;
        }
        // A client that comes and goes at once ends its thread before this one lets go of it.
        corun::details::start_detached_thread([pipe = std::move(pipe)]() mutable { serve(std::move(pipe)); });
    }
}

bool parse(int argc, wchar_t** argv)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring name = argv[i];
        const std::wstring value = argv[i + 1];
        if (name == L"--port") {
            const auto equals = value.rfind(L'=');
            if (equals == std::wstring::npos)
                return false;
            settings.ports.push_back({value.substr(0, equals),
                                      static_cast<std::uint32_t>(std::wcstoul(value.c_str() + equals + 1, nullptr, 10))});
        } else if (name == L"--pipe") {
            settings.pipe = value;
        } else if (name == L"--mode") {
            settings.mode = value;
        } else if (name == L"--delay-ms") {
            settings.delay_ms = std::wcstoul(value.c_str(), nullptr, 10);
        } else if (name == L"--lifetime-ms") {
            settings.lifetime_ms = std::wcstoul(value.c_str(), nullptr, 10);
        } else if (name == L"--clients") {
            settings.clients = std::wcstol(value.c_str(), nullptr, 10);
        } else if (name == L"--listeners") {
            settings.listeners = std::wcstol(value.c_str(), nullptr, 10);
        } else if (name == L"--ready-event") {
            settings.ready_event = value;
        } else if (name == L"--seen-event") {
            settings.seen_event = value;
        } else if (name == L"--answered-semaphore") {
            settings.answered_semaphore = value;
        } else if (name == L"--discovery") {
            settings.discovery = value != L"0";
        } else if (name == L"--announce-ms") {
            settings.announce_ms = std::wcstoul(value.c_str(), nullptr, 10);
        } else if (name == L"--name") {
            settings.name = value;
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (!parse(argc, argv))
        return 1;
    corun::details::start_detached_thread([] {
        Sleep(settings.lifetime_ms);
        ExitProcess(3);
    });
    if (!settings.answered_semaphore.empty())
        answered = OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, settings.answered_semaphore.c_str());
    if (settings.discovery) {
        const HANDLE request_slot_handle = open_request_slot();
        if (request_slot_handle == INVALID_HANDLE_VALUE)
            return 2;
        corun::details::start_detached_thread([request_slot_handle] { answer_discovery(request_slot_handle); });
    }
    if (settings.announce_ms > 0)
        corun::details::start_detached_thread(&announce);
    if (!settings.seen_event.empty())
        seen = OpenEventW(EVENT_MODIFY_STATE, FALSE, settings.seen_event.c_str());
    HANDLE ready = settings.ready_event.empty() ? nullptr : CreateEventW(nullptr, TRUE, FALSE, settings.ready_event.c_str());
    if (settings.mode == L"busy") {
        const std::wstring path = L"\\\\.\\pipe\\" + settings.pipe;
        HANDLE instance = CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX, 0, 1, 4096, 4096, settings.delay_ms, nullptr);
        HANDLE taker = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (instance == INVALID_HANDLE_VALUE || taker == INVALID_HANDLE_VALUE)
            return 2;
        if (ready)
            SetEvent(ready);
        Sleep(INFINITE);
    }
    // Several instances listen at once, so that a client arriving while another is being
    // accepted finds one free.
    for (long i = 1; i < settings.listeners; ++i)
        corun::details::start_detached_thread([ready] { accept_clients(ready); });
    accept_clients(ready);
    return 0;
}
