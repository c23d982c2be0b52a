#pragma once
// A read-only COM IStream over a block of memory that the caller owns (a resource handed to
// the Windows Imaging Component, for example).
#include <cstddef>
#include <cstdint>

#include <objidl.h>

#include "trellum/com/object.h"
#include "trellum/com/value.h"

namespace Trellum {
namespace details {

// Storage policy: the block belongs to the caller and must outlive the stream.
struct external_storage {};

template <class Storage> class memstream;

// Completed by com::details::value, which counts references and answers QueryInterface
// (IUnknown and IStream only).
template <>
class memstream<external_storage> : public com::details::object<memstream<external_storage>, IStream> {
public:
    // A new stream at position 0 holding one reference. Throws std::bad_alloc.
    static IStream* create(const void* base, std::size_t size);

    memstream(const void* base, std::size_t size) noexcept : base_(static_cast<const std::byte*>(base)), size_(size) {}

    // ISequentialStream
    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG requested, ULONG* read) override;
    HRESULT STDMETHODCALLTYPE Write(const void* buffer, ULONG count, ULONG* written) override;

    // IStream
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER displacement, DWORD origin, ULARGE_INTEGER* position) override;
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override;
    HRESULT STDMETHODCALLTYPE CopyTo(IStream* target, ULARGE_INTEGER requested, ULARGE_INTEGER* read,
                                     ULARGE_INTEGER* written) override;
    HRESULT STDMETHODCALLTYPE Commit(DWORD flags) override;
    HRESULT STDMETHODCALLTYPE Revert() override;
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER count, DWORD type) override;
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER count, DWORD type) override;
    HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flags) override;
    HRESULT STDMETHODCALLTYPE Clone(IStream** copy) override;

protected:
    ~memstream() = default;

private:
    // Bytes left after the position; 0 at or past the end.
    std::uint64_t remaining() const noexcept { return position_ < size_ ? size_ - position_ : 0; }

    const std::byte* base_;
    std::uint64_t size_;
    // Never negative: seeks before the start are refused. May lie past the end.
    std::uint64_t position_ = 0;
};

} // namespace details
} // namespace Trellum
