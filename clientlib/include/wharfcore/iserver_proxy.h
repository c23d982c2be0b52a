#pragma once
// The client-side proxy of a server's interface IServer, and the encoding of its payloads:
// little-endian, no padding; a byte block is a 32-bit count then the bytes; a string is a
// 32-bit count of UTF-16 code units then the units.
//
// Decoding never reads past the reply's payload: a count or field that runs past its end, or a
// 32-bit result shorter than 4 bytes, fails the call with
// hresult_error(HRESULT_FROM_WIN32(ERROR_INVALID_DATA)) (0x8007000D). Bytes after the last
// decoded field are ignored.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "corun/errors.h"
#include "corun/future.h"
#include "wharfcore/shared_port_record.h"

inline constexpr long iserver_bad_reply = static_cast<long>(0x8007000DUL);

namespace iserver_codec {

inline void put_u32(std::vector<std::byte>& out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::byte>((value >> (8 * i)) & 0xFF));
}

inline void put_block(std::vector<std::byte>& out, const std::vector<std::byte>& block)
{
    if (block.size() > 0xFFFFFFFFull)
        corun::throw_error(static_cast<long>(0x80070057UL)); // E_INVALIDARG
    put_u32(out, static_cast<std::uint32_t>(block.size()));
    out.insert(out.end(), block.begin(), block.end());
}

// A cursor over one reply payload.
class reader {
public:
    explicit reader(std::span<const std::byte> payload) noexcept : data_(payload) {}

    std::size_t remaining() const noexcept { return data_.size() - at_; }

    std::uint32_t u32()
    {
        need(4);
        std::uint32_t value;
        std::memcpy(&value, data_.data() + at_, 4);
        at_ += 4;
        return value;
    }

    std::vector<std::byte> block()
    {
        const std::uint32_t n = u32();
        need(n);
        std::vector<std::byte> result(data_.begin() + at_, data_.begin() + at_ + n);
        at_ += n;
        return result;
    }

    std::wstring string()
    {
        const std::uint32_t n = u32();
        need(2ull * n);
        std::wstring result(n, L'\0');
        if (n != 0)
            std::memcpy(result.data(), data_.data() + at_, 2ull * n);
        at_ += 2ull * n;
        return result;
    }

private:
    void need(std::uint64_t n) const
    {
        if (n > remaining())
            corun::throw_error(iserver_bad_reply);
    }

    std::span<const std::byte> data_;
    std::size_t at_ = 0;
};

inline std::vector<SharedPortRecord> decode_shared_ports(std::span<const std::byte> payload)
{
    reader in(payload);
    const std::uint32_t count = in.u32();
    // A record takes at least 8 bytes: never reserve for more than the payload can hold.
    const std::size_t room = in.remaining() / 8;
    std::vector<SharedPortRecord> records;
    records.reserve(count < room ? count : room);
    for (std::uint32_t i = 0; i < count; ++i) {
        SharedPortRecord record;
        record.name = in.string();
        record.port = in.u32();
        records.push_back(std::move(record));
    }
    return records;
}

} // namespace iserver_codec

// The proxy's base: IServer's local side carries nothing.
class IServer_Local {};

// Connection is the arpc::Connection this proxy is a base of; slot = method id.
template <class Connection> class Client_IServer : public IServer_Local {
public:
    virtual ~Client_IServer() = default;

    // Method 0: the ports the server shares, in the order of its reply.
    virtual corun::details::future<std::vector<SharedPortRecord>> GetSharedPorts()
    {
        std::vector<std::byte> reply = co_await self().Call(0, {});
        co_return iserver_codec::decode_shared_ports(reply);
    }

    virtual corun::details::future<long> Method1(std::uint32_t value)
    {
        std::vector<std::byte> request;
        iserver_codec::put_u32(request, value);
        std::vector<std::byte> reply = co_await self().Call(1, std::move(request));
        co_return static_cast<long>(iserver_codec::reader(reply).u32());
    }

    virtual corun::details::future<std::vector<std::byte>> Method2(std::uint32_t a, std::uint32_t b,
                                                                   std::vector<std::byte> v)
    {
        std::vector<std::byte> request;
        iserver_codec::put_u32(request, a);
        iserver_codec::put_u32(request, b);
        iserver_codec::put_block(request, v);
        std::vector<std::byte> reply = co_await self().Call(2, std::move(request));
        co_return iserver_codec::reader(reply).block();
    }

    virtual corun::details::future<long> Method3(std::vector<std::byte> v)
    {
        std::vector<std::byte> request;
        iserver_codec::put_block(request, v);
        std::vector<std::byte> reply = co_await self().Call(3, std::move(request));
        co_return static_cast<long>(iserver_codec::reader(reply).u32());
    }

    virtual corun::details::future<std::vector<std::byte>> Method4(std::uint32_t value)
    {
        std::vector<std::byte> request;
        iserver_codec::put_u32(request, value);
        std::vector<std::byte> reply = co_await self().Call(4, std::move(request));
        co_return iserver_codec::reader(reply).block();
    }

private:
    Connection& self() noexcept { return static_cast<Connection&>(*this); }
};
