#pragma once
// A plain synchronous pipe server on "." that a test drives byte by byte.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "connection_helpers.h"

inline std::wstring unique_pipe_name(const char* what)
{
    static std::atomic<int> counter{0};
    std::wstring name = L"wharf_arpc_test_";
    for (const char* p = what; *p; ++p)
        name += static_cast<wchar_t>(*p);
    return name + L"_" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(counter++);
}

class raw_pipe {
public:
    explicit raw_pipe(const std::wstring& name, DWORD type = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE, DWORD timeout = 0,
                      PSECURITY_DESCRIPTOR descriptor = nullptr, DWORD access = PIPE_ACCESS_DUPLEX)
    {
        SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
        handle_ = CreateNamedPipeW((L"\\\\.\\pipe\\" + name).c_str(), access, type | PIPE_WAIT, 1, 1 << 20,
                                   1 << 20, timeout, &attributes);
        EXPECT_NE(handle_, INVALID_HANDLE_VALUE) << GetLastError();
    }
    raw_pipe(const raw_pipe&) = delete;
    ~raw_pipe() { close(); }

    void accept() { EXPECT_TRUE(ConnectNamedPipe(handle_, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED); }
    void write(const void* data, std::size_t size)
    {
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(handle_, data, static_cast<DWORD>(size), &written, nullptr));
        ASSERT_EQ(written, size);
    }
    void write(const bytes& data) { write(data.data(), data.size()); }
    bytes read_exact(std::size_t n)
    {
        bytes out(n);
        std::size_t done = 0;
        while (done < n) {
            DWORD got = 0;
            if (!ReadFile(handle_, out.data() + done, static_cast<DWORD>(n - done), &got, nullptr) || got == 0)
                break;
            done += got;
        }
        out.resize(done);
        return out;
    }
    // One message of a message-type pipe.
    std::size_t read_message(bytes& into)
    {
        into.resize(1 << 20);
        DWORD got = 0;
        if (!ReadFile(handle_, into.data(), static_cast<DWORD>(into.size()), &got, nullptr))
            return 0;
        into.resize(got);
        return got;
    }
    void close()
    {
        if (handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

inline bytes pattern(std::size_t n, int seed)
{
    bytes out(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<std::byte>((i * 31 + seed) & 0xFF);
    return out;
}
