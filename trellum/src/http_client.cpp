#include "trellum/http_client.h"

#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include <array>

#include <bcrypt.h>

#include "corun/errors.h"
#include "trellum/com/ref.h"

namespace Trellum {
namespace details {

namespace {

constexpr wchar_t user_agent[] = L"Velmor Software Trellum Library win7-compatible HTTP client. Version 1.0";
constexpr DWORD open_url_flags = INTERNET_FLAG_EXISTING_CONNECT | INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_UI;
constexpr std::size_t chunk_size = 65536;

// Holds the client while one of its requests runs: WinINet calls back into it until the
// request has ended, whoever else still holds it.
using client_hold = com::details::ref<HttpClient>;

// Takes a token on the caller's source for the running coroutine: a cancelled source ends the
// request with operation_cancelled before anything is made.
struct token_holder {
    corun::details::cancellation_token token;
    token_holder(const corun::details::cancellation_source& source, std::atomic<bool>& flag)
        : token(source, &flag)
    {
    }
};

// Leaves no partial file behind: unless dismissed, the file is deleted through its own handle
// (nobody else can open it meanwhile) and then closed.
struct partial_file_guard {
    unique_file& file;
    const std::wstring& path;
    bool dismissed = false;
    ~partial_file_guard()
    {
        if (dismissed || !file)
            return;
        FILE_DISPOSITION_INFO disposition{TRUE};
        const bool marked = SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition,
                                                       sizeof disposition) != 0;
        file.reset();
        if (!marked)
            DeleteFileW(path.c_str());
    }
};

// Sets or clears the delete-on-close disposition of an open file.
void mark_for_deletion(HANDLE file, bool remove)
{
    FILE_DISPOSITION_INFO disposition{static_cast<BOOLEAN>(remove ? TRUE : FALSE)};
    if (!SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition))
        corun::throw_last_error();
}

// Renames the open file over target, replacing an existing file.
void rename_open_file(HANDLE file, const std::wstring& target)
{
    const std::size_t name_bytes = target.size() * sizeof(wchar_t);
    std::vector<std::byte> buffer(sizeof(FILE_RENAME_INFO) + name_bytes);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = TRUE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(name_bytes);
    std::memcpy(info->FileName, target.data(), name_bytes);
    if (!SetFileInformationByHandle(file, FileRenameInfo, info, static_cast<DWORD>(buffer.size())))
        corun::throw_last_error();
}

} // namespace

// SHA-256 of the bytes written, to prove later that the file still holds them.
class file_digest {
public:
    using value_type = std::array<unsigned char, 32>;

    file_digest()
    {
        check(BCryptOpenAlgorithmProvider(&algorithm_, BCRYPT_SHA256_ALGORITHM, nullptr, 0));
        check(BCryptCreateHash(algorithm_, &hash_, nullptr, 0, nullptr, 0, 0));
    }
    file_digest(const file_digest&) = delete;
    file_digest& operator=(const file_digest&) = delete;
    ~file_digest()
    {
        if (hash_)
            BCryptDestroyHash(hash_);
        if (algorithm_)
            BCryptCloseAlgorithmProvider(algorithm_, 0);
    }
    void add(const void* data, DWORD size)
    {
        check(BCryptHashData(hash_, static_cast<PUCHAR>(const_cast<void*>(data)), size, 0));
    }
    value_type finish()
    {
        value_type value{};
        check(BCryptFinishHash(hash_, value.data(), static_cast<ULONG>(value.size()), 0));
        return value;
    }

private:
    static void check(NTSTATUS status)
    {
        if (status < 0)
            corun::throw_error(HRESULT_FROM_NT(status));
    }
    BCRYPT_ALG_HANDLE algorithm_ = nullptr;
    BCRYPT_HASH_HANDLE hash_ = nullptr;
};

namespace {

// Opens the finished file for reading with writing denied to everyone, then checks that it
// still holds exactly what was downloaded: between closing the writer and this open, someone
// could have replaced it.
unique_file open_verified(const std::wstring& path, const file_digest::value_type& expected)
{
    unique_file reader(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!reader)
        corun::throw_last_error();
    file_digest digest;
    std::vector<std::byte> buffer(chunk_size);
    DWORD got = 0;
    do {
        if (!ReadFile(reader.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr))
            corun::throw_last_error();
        digest.add(buffer.data(), got);
    } while (got != 0);
    if (digest.finish() != expected)
        corun::throw_win32_error(ERROR_FILE_INVALID);
    if (SetFilePointer(reader.get(), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        corun::throw_last_error();
    return reader;
}

} // namespace

// ---- operations ---------------------------------------------------------------------------

async_operation::~async_operation()
{
    std::lock_guard guard(client_.pending_lock_);
    if (client_.pending_.load(std::memory_order_acquire) == this)
        client_.pending_.store(nullptr, std::memory_order_release);
}

void async_operation::arm(std::coroutine_handle<> waiter) noexcept
{
    continuation_ = waiter;
    std::lock_guard guard(client_.pending_lock_);
    client_.pending_.store(this, std::memory_order_release);
}

bool async_operation::disarm(HttpClient& client, async_operation* op) noexcept
{
    std::lock_guard guard(client.pending_lock_);
    if (client.pending_.load(std::memory_order_acquire) != op)
        return false;
    client.pending_.store(nullptr, std::memory_order_release);
    op->continuation_ = nullptr;
    return true;
}

void async_operation::resume() noexcept
{
    if (auto waiter = std::exchange(continuation_, nullptr))
        waiter.resume();
}

// Opens the URL; yields the request handle.
class HttpClient::get_awaiter final : public async_operation {
public:
    get_awaiter(const request_context& context, std::wstring&& url, std::wstring&& headers) noexcept
        : async_operation(context, nullptr), url_(std::move(url)), headers_(std::move(headers))
    {
    }

    bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<> waiter) noexcept
    {
        // From the call on, a completion may resume the coroutine on another thread: only
        // locals are used until disarm() has shown that this awaiter is still ours.
        HttpClient& client = client_;
        const DWORD_PTR context = context_value();
        arm(waiter);
        HINTERNET request = InternetOpenUrlW(client.session_, url_.c_str(), headers_.c_str(),
                                             static_cast<DWORD>(headers_.size()), open_url_flags, context);
        if (request) {
            // Finished at once: use the handle unless a completion has already taken over.
            if (!disarm(client, this))
                return true;
            request_.reset(request);
            return false;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING || !disarm(client, this))
            return true;
        error_ = error;
        return false;
    }
    unique_hinternet await_resume()
    {
        if (error_ != 0)
            corun::throw_win32_error(error_);
        if (!request_)
            corun::throw_error(E_FAIL);
        return std::move(request_);
    }

    void complete(const INTERNET_ASYNC_RESULT& result) noexcept override
    {
        error_ = result.dwError;
        if (error_ == 0)
            request_.reset(reinterpret_cast<HINTERNET>(result.dwResult));
        resume();
    }

private:
    std::wstring url_;
    std::wstring headers_;
    unique_hinternet request_;
    DWORD error_ = 0;
};

// Reads one chunk of the body; yields the byte count, 0 at the end.
class HttpClient::read_awaiter final : public async_operation {
public:
    read_awaiter(const request_context& context, HINTERNET request, std::byte* buffer,
                 unsigned long long size) noexcept
        : async_operation(context, request), request_(request), buffer_(buffer),
          size_(size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size))
    {
    }

    bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<> waiter) noexcept
    {
        HttpClient& client = client_;
        arm(waiter);
        if (InternetReadFile(request_, buffer_, size_, &bytes_read_))
            return !disarm(client, this);
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING || !disarm(client, this))
            return true;
        error_ = error;
        return false;
    }
    DWORD await_resume()
    {
        if (error_ != 0)
            corun::throw_win32_error(error_);
        return bytes_read_;
    }

    void complete(const INTERNET_ASYNC_RESULT& result) noexcept override
    {
        error_ = result.dwError;
        if (error_ != 0)
            bytes_read_ = 0;
        resume();
    }

private:
    HINTERNET request_;
    std::byte* buffer_;
    DWORD size_;
    DWORD error_ = 0;
    DWORD bytes_read_ = 0;
};

// ---- client -------------------------------------------------------------------------------

HttpClient::~HttpClient()
{
    close();
}

HRESULT STDMETHODCALLTYPE HttpClient::QueryInterface(REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IHttpClient)) {
        *out = static_cast<IHttpClient*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE HttpClient::AddRef()
{
    return references_.fetch_add(1, std::memory_order_relaxed) + 1;
}

ULONG STDMETHODCALLTYPE HttpClient::Release()
{
    const ULONG count = references_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (count == 0)
        delete this;
    return count;
}

void HttpClient::close() noexcept
{
    base_url_.clear();
    if (session_) {
        InternetSetStatusCallbackW(session_, nullptr);
        InternetCloseHandle(std::exchange(session_, nullptr));
    }
}

bool HttpClient::open(const std::wstring& base_url)
{
    if (&base_url != &base_url_)
        base_url_ = base_url;
    HINTERNET session = InternetOpenW(user_agent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, INTERNET_FLAG_ASYNC);
    if (session_) {
        InternetSetStatusCallbackW(session_, nullptr);
        InternetCloseHandle(session_);
    }
    session_ = session;
    if (!session_)
        return false;
    InternetSetStatusCallbackW(session_, &HttpClient::status_callback);
    return true;
}

void CALLBACK HttpClient::status_callback(HINTERNET handle, DWORD_PTR context, DWORD status, void* information,
                                          DWORD length)
{
    if (status != INTERNET_STATUS_REQUEST_COMPLETE || !context || !information ||
        length < sizeof(INTERNET_ASYNC_RESULT))
        return;
    // Every context value the client hands to WinINet is one of its request contexts.
    auto& client = *reinterpret_cast<const request_context*>(context)->client;
    async_operation* claimed = nullptr;
    {
        std::lock_guard guard(client.pending_lock_);
        async_operation* op = client.pending_.load(std::memory_order_acquire);
        // A late completion of an earlier request, or of another handle, completes nothing.
        if (op && op->owns(handle, context)) {
            client.pending_.store(nullptr, std::memory_order_release);
            claimed = op;
        }
    }
    if (claimed)
        claimed->complete(*static_cast<const INTERNET_ASYNC_RESULT*>(information));
}

std::wstring HttpClient::canonicalize_url(const std::wstring& path) const
{
    const std::wstring joined = base_url_ + path;
    std::wstring buffer(4096, L'\0');
    DWORD length = static_cast<DWORD>(buffer.size());
    if (!InternetCanonicalizeUrlW(joined.c_str(), buffer.data(), &length, ICU_BROWSER_MODE))
        return {};
    buffer.resize(length);
    return buffer;
}

const request_context& HttpClient::new_request_context()
{
    std::lock_guard guard(pending_lock_);
    return contexts_.emplace_back(request_context{this});
}

HttpClient::get_awaiter HttpClient::get(const request_context& context, std::wstring&& url, std::wstring&& headers)
{
    return get_awaiter(context, std::move(url), std::move(headers));
}

HttpClient::read_awaiter HttpClient::read_chunk(const request_context& context, HINTERNET request, std::byte* buffer,
                                                unsigned long long size)
{
    return read_awaiter(context, request, buffer, size);
}

void HttpClient::check_status(const unique_hinternet& request)
{
    DWORD status = 0;
    DWORD length = sizeof status;
    // A status that cannot be read is a failure: an unknown answer must never pass as 200.
    if (!HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &length, nullptr))
        corun::throw_last_error();
    if (status != HTTP_STATUS_OK)
        corun::throw_error(E_INVALIDARG);
}

corun::details::future<std::string> HttpClient::read_all(const request_context* context, HINTERNET request,
                                                         corun::details::cancellation_source source)
{
    token_holder cancel(source, (co_await corun::details::current_promise{}).cancelled);
    std::byte buffer[document_limit];
    std::size_t total = 0;
    while (total < document_limit) {
        cancel.token.throw_if_cancelled();
        const DWORD got = co_await read_chunk(*context, request, buffer + total, document_limit - total);
        if (got == 0)
            break;
        total += got;
    }
    if (total == document_limit) {
        // A document that does not fit is refused rather than parsed from a cut copy.
        std::byte probe[1];
        cancel.token.throw_if_cancelled();
        if (co_await read_chunk(*context, request, probe, sizeof probe) != 0)
            corun::throw_win32_error(ERROR_INSUFFICIENT_BUFFER);
    }
    co_return std::string(reinterpret_cast<const char*>(buffer), total);
}

corun::details::future<void> HttpClient::read_to_file(const request_context* context, HINTERNET request, HANDLE file,
                                                      corun::details::cancellation_source source, file_digest* digest)
{
    token_holder cancel(source, (co_await corun::details::current_promise{}).cancelled);
    // A body that ends before its announced length was cut: it must not pass as complete.
    DWORD announced = 0;
    DWORD length = sizeof announced;
    const bool has_length = HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER,
                                           &announced, &length, nullptr) != 0;
    std::byte buffer[chunk_size];
    unsigned long long total = 0;
    for (;;) {
        cancel.token.throw_if_cancelled();
        const DWORD got = co_await read_chunk(*context, request, buffer, sizeof buffer);
        if (got == 0)
            break;
        DWORD written = 0;
        if (!WriteFile(file, buffer, got, &written, nullptr) || written != got)
            corun::throw_last_error();
        if (digest)
            digest->add(buffer, got);
        total += got;
    }
    if (has_length && total != announced)
        corun::throw_win32_error(ERROR_INTERNET_CONNECTION_ABORTED);
}

corun::details::future<nlohmann::json> HttpClient::get_json(std::wstring path,
                                                           corun::details::cancellation_source source)
{
    const client_hold hold(this);
    token_holder cancel(source, (co_await corun::details::current_promise{}).cancelled);
    const request_context& context = new_request_context();
    std::wstring url = canonicalize_url(path);
    cancel.token.throw_if_cancelled();
    unique_hinternet request = co_await get(context, std::move(url), L"Accept: application/json");
    check_status(request);
    std::string body = co_await read_all(&context, request.get(), source);
    request.reset();
    co_return nlohmann::json::parse(body);
}

corun::details::future<bool> HttpClient::download_file(std::wstring path, std::wstring target_file,
                                                      corun::details::cancellation_source source,
                                                      unique_file* kept_file)
{
    const client_hold hold(this);
    token_holder cancel(source, (co_await corun::details::current_promise{}).cancelled);
    // The body goes to a sibling file first, so an existing target is replaced only by a
    // complete download. Nobody else may open it for writing, renaming or deleting meanwhile.
    const std::wstring partial_path = target_file + L".partial";
    unique_file file(CreateFileW(partial_path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        corun::throw_last_error();
    partial_file_guard guard{file, partial_path};
    // Marked for deletion from the start: should the process end while the body is still
    // coming, closing the handle removes the partial file. Taken back only when it is complete.
    mark_for_deletion(file.get(), true);

    std::wstring url = canonicalize_url(path);
    cancel.token.throw_if_cancelled();
    const request_context& context = new_request_context();
    unique_hinternet request = co_await get(context, std::move(url), L"Accept: */*");
    check_status(request);
    std::optional<file_digest> digest;
    if (kept_file)
        digest.emplace();
    co_await read_to_file(&context, request.get(), file.get(), source, digest ? &*digest : nullptr);
    request.reset();

    mark_for_deletion(file.get(), false);
    rename_open_file(file.get(), target_file);
    guard.dismissed = true;
    // The writer must go: a handle with write access keeps even a program start from opening
    // the file. The caller gets a read-only handle that denies writing to everyone else.
    file.reset();
    if (kept_file)
        *kept_file = open_verified(target_file, digest->finish());
    co_return true;
}

corun::details::future<void> HttpClient::extra_request(std::wstring, std::string, std::string)
{
    corun::throw_error(E_NOTIMPL);
    co_return;
}

} // namespace details
} // namespace Trellum
