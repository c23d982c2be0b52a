#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include <objidl.h>

#include "trellum/memstream.h"

namespace {

using Trellum::details::external_storage;
using Trellum::details::memstream;

// Holds the one reference create() hands out.
struct stream_ref {
    IStream* p;
    explicit stream_ref(IStream* s) : p(s) {}
    ~stream_ref()
    {
        if (p)
            p->Release();
    }
    IStream* operator->() const { return p; }
};

class MemoryStream : public testing::Test {
protected:
    MemoryStream()
    {
        for (std::size_t i = 0; i < guarded.size(); ++i)
            guarded[i] = static_cast<unsigned char>(i < 16 ? 0xEE : i - 16);
    }

    // 16 guard bytes in front of the 100-byte block, so a read before the start shows.
    std::array<unsigned char, 116> guarded{};
    const unsigned char* block() const { return guarded.data() + 16; }
    static constexpr std::size_t size = 100;
    stream_ref stream{memstream<external_storage>::create(guarded.data() + 16, size)};

    ULARGE_INTEGER seek(LONGLONG displacement, DWORD origin, HRESULT expected = S_OK)
    {
        LARGE_INTEGER d;
        d.QuadPart = displacement;
        ULARGE_INTEGER at;
        at.QuadPart = 0xDEADBEEF;
        EXPECT_EQ(stream->Seek(d, origin, &at), expected);
        return at;
    }
};

TEST_F(MemoryStream, ReadNearTheEndCopiesWhatIsLeftThenNothing)
{
    seek(size - 10, STREAM_SEEK_SET);
    std::vector<unsigned char> buffer(100, 0);
    ULONG read = 12345;
    EXPECT_EQ(stream->Read(buffer.data(), 100, &read), S_OK);
    EXPECT_EQ(read, 10u);
    EXPECT_EQ(std::memcmp(buffer.data(), block() + size - 10, 10), 0);
    EXPECT_EQ(buffer[10], 0);
    EXPECT_EQ(stream->Read(buffer.data(), 100, &read), S_OK);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(stream->Read(buffer.data(), 1, nullptr), S_OK);
}

TEST_F(MemoryStream, ReadsAdvanceThroughTheBlock)
{
    unsigned char first[30]{}, second[30]{};
    ULONG read = 0;
    ASSERT_EQ(stream->Read(first, 30, &read), S_OK);
    ASSERT_EQ(stream->Read(second, 30, &read), S_OK);
    EXPECT_EQ(std::memcmp(first, block(), 30), 0);
    EXPECT_EQ(std::memcmp(second, block() + 30, 30), 0);
    EXPECT_EQ(seek(0, STREAM_SEEK_CUR).QuadPart, 60u);
}

TEST_F(MemoryStream, SeekFromEachOrigin)
{
    EXPECT_EQ(seek(-8, STREAM_SEEK_END).QuadPart, size - 8);
    EXPECT_EQ(seek(0, STREAM_SEEK_END).QuadPart, size);
    EXPECT_EQ(seek(20, STREAM_SEEK_SET).QuadPart, 20u);
    EXPECT_EQ(seek(-5, STREAM_SEEK_CUR).QuadPart, 15u);
    EXPECT_EQ(seek(7, 17 /* no such origin */).QuadPart, 15u);
    // Past the end is allowed; reads there copy nothing.
    EXPECT_EQ(seek(50, STREAM_SEEK_END).QuadPart, size + 50);
    unsigned char byte = 0;
    ULONG read = 1;
    EXPECT_EQ(stream->Read(&byte, 1, &read), S_OK);
    EXPECT_EQ(read, 0u);
}

TEST_F(MemoryStream, SeekBeforeTheStartIsRefusedAndKeepsThePosition)
{
    seek(10, STREAM_SEEK_SET);
    seek(-1, STREAM_SEEK_SET, STG_E_INVALIDFUNCTION);
    seek(-11, STREAM_SEEK_CUR, STG_E_INVALIDFUNCTION);
    seek(-static_cast<LONGLONG>(size) - 1, STREAM_SEEK_END, STG_E_INVALIDFUNCTION);
    EXPECT_EQ(seek(0, STREAM_SEEK_CUR).QuadPart, 10u);

    unsigned char buffer[4]{};
    ULONG read = 0;
    ASSERT_EQ(stream->Read(buffer, 4, &read), S_OK);
    EXPECT_EQ(read, 4u);
    EXPECT_EQ(std::memcmp(buffer, block() + 10, 4), 0);
}

TEST_F(MemoryStream, SeekTakesTheWhole64BitDisplacement)
{
    // 2^32 - 1 seen as 32 bits would be -1 and move back into the block.
    EXPECT_EQ(seek(0xFFFFFFFFLL, STREAM_SEEK_SET).QuadPart, 0xFFFFFFFFull);
    unsigned char byte = 0;
    ULONG read = 1;
    EXPECT_EQ(stream->Read(&byte, 1, &read), S_OK);
    EXPECT_EQ(read, 0u);
    // 2^32 + 5 is 5 bytes past 2^32, not position 5.
    EXPECT_EQ(seek(0x100000005LL, STREAM_SEEK_SET).QuadPart, 0x100000005ull);
    EXPECT_EQ(stream->Read(&byte, 1, &read), S_OK);
    EXPECT_EQ(read, 0u);
    // A displacement that overflows the position is refused too.
    seek(0x7FFFFFFFFFFFFFFFLL, STREAM_SEEK_CUR, STG_E_INVALIDFUNCTION);
    EXPECT_EQ(seek(0, STREAM_SEEK_CUR).QuadPart, 0x100000005ull);
}

TEST_F(MemoryStream, StatReportsSizeAndStreamTypeOnly)
{
    STATSTG stat;
    std::memset(&stat, 0xAB, sizeof(stat));
    EXPECT_EQ(stream->Stat(&stat, STATFLAG_DEFAULT), S_OK);
    EXPECT_EQ(stat.type, static_cast<DWORD>(STGTY_STREAM));
    EXPECT_EQ(stat.cbSize.QuadPart, size);
    EXPECT_EQ(stat.pwcsName, nullptr);
    EXPECT_EQ(stat.grfMode, 0u);
    EXPECT_EQ(stat.clsid, GUID_NULL);
}

TEST_F(MemoryStream, IsReadOnlyAndCannotBeCloned)
{
    ULONG written = 9;
    EXPECT_EQ(stream->Write("x", 1, &written), E_NOTIMPL);
    ULARGE_INTEGER new_size{};
    EXPECT_EQ(stream->SetSize(new_size), E_NOTIMPL);
    IStream* copy = reinterpret_cast<IStream*>(1);
    EXPECT_EQ(stream->Clone(&copy), E_NOTIMPL);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(stream->Commit(0), S_OK);
    EXPECT_EQ(stream->Revert(), S_OK);
    EXPECT_EQ(stream->LockRegion(new_size, new_size, 0), S_OK);
    EXPECT_EQ(stream->UnlockRegion(new_size, new_size, 0), S_OK);
}

TEST_F(MemoryStream, QueryInterfaceAndReferenceCounts)
{
    void* out = nullptr;
    ASSERT_EQ(stream->QueryInterface(IID_IStream, &out), S_OK);
    EXPECT_EQ(out, static_cast<void*>(stream.p));
    EXPECT_EQ(stream->Release(), 1u);
    ASSERT_EQ(stream->QueryInterface(IID_IUnknown, &out), S_OK);
    EXPECT_EQ(stream->Release(), 1u);
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(stream->QueryInterface(IID_ISequentialStream, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(stream->QueryInterface(IID_IDispatch, &out), E_NOINTERFACE);
    EXPECT_EQ(stream->AddRef(), 2u);
    EXPECT_EQ(stream->Release(), 1u);
}

// A target stream that records what it is given and can be told to fail.
class recording_target final : public IStream {
public:
    std::vector<unsigned char> data;
    HRESULT fail_with = S_OK;
    ULONG accept_on_failure = 0;
    ULONG refs = 1;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** o) override
    {
        *o = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE Read(void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Write(const void* p, ULONG n, ULONG* written) override
    {
        const ULONG taken = FAILED(fail_with) ? std::min(n, accept_on_failure) : n;
        const auto* bytes = static_cast<const unsigned char*>(p);
        data.insert(data.end(), bytes, bytes + taken);
        if (written)
            *written = taken;
        return fail_with;
    }
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Revert() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return E_NOTIMPL; }
};

TEST_F(MemoryStream, CopyToHandsTheRestToTheTarget)
{
    seek(90, STREAM_SEEK_SET);
    recording_target target;
    ULARGE_INTEGER want, read, written;
    want.QuadPart = 0x100000000ull; // more than a 32-bit count
    ASSERT_EQ(stream->CopyTo(&target, want, &read, &written), S_OK);
    EXPECT_EQ(read.QuadPart, 10u);
    EXPECT_EQ(written.QuadPart, 10u);
    ASSERT_EQ(target.data.size(), 10u);
    EXPECT_EQ(std::memcmp(target.data.data(), block() + 90, 10), 0);
    EXPECT_EQ(seek(0, STREAM_SEEK_CUR).QuadPart, size);
    ASSERT_EQ(stream->CopyTo(&target, want, &read, &written), S_OK);
    EXPECT_EQ(read.QuadPart, 0u);
}

TEST_F(MemoryStream, CopyToReportsTheTargetsFailure)
{
    recording_target target;
    target.fail_with = STG_E_MEDIUMFULL;
    target.accept_on_failure = 4;
    ULARGE_INTEGER want, read, written;
    want.QuadPart = 30;
    EXPECT_EQ(stream->CopyTo(&target, want, &read, &written), STG_E_MEDIUMFULL);
    EXPECT_EQ(written.QuadPart, 4u);
    EXPECT_EQ(read.QuadPart, 4u);
    // The stream stands after what the target took, so a retry continues there.
    EXPECT_EQ(seek(0, STREAM_SEEK_CUR).QuadPart, 4u);
    target.fail_with = S_OK;
    ASSERT_EQ(stream->CopyTo(&target, want, &read, &written), S_OK);
    ASSERT_EQ(target.data.size(), 34u);
    EXPECT_EQ(std::memcmp(target.data.data(), block(), 34), 0);
}

} // namespace
