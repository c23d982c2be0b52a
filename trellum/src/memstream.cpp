#include "trellum/memstream.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace Trellum {
namespace details {

using stream = memstream<external_storage>;

IStream* stream::create(const void* base, std::size_t size)
{
    auto* made = new com::details::value<stream>(base, size);
    IStream* face = nullptr;
    made->QueryInterface(IID_IStream, reinterpret_cast<void**>(&face));
    return face;
}

HRESULT stream::Read(void* buffer, ULONG requested, ULONG* read)
{
    const ULONG count = static_cast<ULONG>(std::min<std::uint64_t>(requested, remaining()));
    if (count != 0 && !buffer)
        return STG_E_INVALIDPOINTER;
    if (count != 0)
        std::memcpy(buffer, base_ + position_, count);
    position_ += count;
    if (read)
        *read = count;
    return S_OK;
}

HRESULT stream::Write(const void*, ULONG, ULONG*)
{
    return E_NOTIMPL;
}

HRESULT stream::Seek(LARGE_INTEGER displacement, DWORD origin, ULARGE_INTEGER* position)
{
    std::int64_t from;
    switch (origin) {
    case STREAM_SEEK_SET:
        from = 0;
        break;
    case STREAM_SEEK_CUR:
        from = static_cast<std::int64_t>(position_);
        break;
    case STREAM_SEEK_END:
        from = static_cast<std::int64_t>(size_);
        break;
    default:
        if (position)
            position->QuadPart = position_;
        return S_OK;
    }
    // A position before the start would let the next read copy memory in front of the block.
    std::int64_t target;
    if (__builtin_add_overflow(from, displacement.QuadPart, &target) || target < 0)
        return STG_E_INVALIDFUNCTION;
    position_ = static_cast<std::uint64_t>(target);
    if (position)
        position->QuadPart = position_;
    return S_OK;
}

HRESULT stream::SetSize(ULARGE_INTEGER)
{
    return E_NOTIMPL;
}

HRESULT stream::CopyTo(IStream* target, ULARGE_INTEGER requested, ULARGE_INTEGER* read, ULARGE_INTEGER* written)
{
    if (!target)
        return STG_E_INVALIDPOINTER;
    const std::uint64_t wanted = std::min<std::uint64_t>(requested.QuadPart, remaining());
    // One Write takes a 32-bit count; a block is smaller than that anyway.
    const ULONG count = static_cast<ULONG>(std::min<std::uint64_t>(wanted, std::numeric_limits<ULONG>::max()));
    ULONG stored = 0;
    const HRESULT hr = target->Write(base_ + position_, count, &stored);
    if (FAILED(hr)) {
        // Only what the target took counts as read, so the caller can resume from there.
        stored = std::min(stored, count);
        position_ += stored;
        if (read)
            read->QuadPart = stored;
        if (written)
            written->QuadPart = stored;
        return hr;
    }
    position_ += count;
    if (read)
        read->QuadPart = count;
    if (written)
        written->QuadPart = stored;
    return S_OK;
}

HRESULT stream::Commit(DWORD)
{
    return S_OK;
}

HRESULT stream::Revert()
{
    return S_OK;
}

HRESULT stream::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD)
{
    return S_OK;
}

HRESULT stream::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD)
{
    return S_OK;
}

HRESULT stream::Stat(STATSTG* stat, DWORD)
{
    if (!stat)
        return STG_E_INVALIDPOINTER;
    // No name is ever allocated, whatever the flags ask.
    std::memset(stat, 0, sizeof(*stat));
    stat->type = STGTY_STREAM;
    stat->cbSize.QuadPart = size_;
    return S_OK;
}

HRESULT stream::Clone(IStream** copy)
{
    if (copy)
        *copy = nullptr;
    return E_NOTIMPL;
}

} // namespace details
} // namespace Trellum
