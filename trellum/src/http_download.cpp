// Downloading to a file: the body into a partial file beside the target, its digest, and the
// guards that leave no partial file behind; the finished file replaces the target.
#include "trellum/http_client.h"

#include <array>
#include <cstring>
#include <optional>
#include <vector>

#include <bcrypt.h>

#include "corun/errors.h"
#include "http_request.h"
#include "trellum/com/ref.h"

namespace Trellum {
namespace details {

namespace {

constexpr std::size_t chunk_size = 65536;

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

corun::details::future<bool> HttpClient::download_file(std::wstring path, std::wstring target_file,
                                                      corun::details::cancellation_source source,
                                                      unique_file* kept_file)
{
    // WinINet calls back into the session until the request has ended, whoever else holds it.
    const com::details::ref<HttpClient> hold(this);
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

    const std::wstring url = canonicalize_url(path);
    const std::wstring headers = L"Accept: */*";
    std::optional<file_digest> digest;
    if (kept_file)
        digest.emplace();
    {
        request_scope request(cancel.token);
        co_await request->open(session_, url, headers);
        request->check_status();
        // A body that ends before its announced length was cut: it must not pass as complete.
        const std::optional<DWORD> announced = request->content_length();
        unsigned long long total = 0;
        for (;;) {
            const DWORD got = co_await request->read(0, chunk_size);
            if (got == 0)
                break;
            DWORD written = 0;
            if (!WriteFile(file.get(), request->buffer(), got, &written, nullptr) || written != got)
                corun::throw_last_error();
            if (digest)
                digest->add(request->buffer(), got);
            total += got;
        }
        if (announced && total != *announced)
            corun::throw_win32_error(ERROR_INTERNET_CONNECTION_ABORTED);
    }

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

} // namespace details
} // namespace Trellum
