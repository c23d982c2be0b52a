#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include <objidl.h>

#include "trellum/memstream.h"

namespace {

class MemoryStream : public testing::Test {
protected:
    MemoryStream()
    {
        for (std::size_t i = 0; i < guarded.size(); ++i)
            guarded[i] = static_cast<unsigned char>(i < 16 ? 0xEE : i - 16);
    }
    ~MemoryStream() override { stream->Release(); }

    // 16 guard bytes in front of the 100-byte block, so a read before the start would show.
    std::array<unsigned char, 116> guarded{};
    const unsigned char* block() const { return guarded.data() + 16; }
    static constexpr std::size_t size = 100;
    IStream* stream = Trellum::details::memstream<Trellum::details::external_storage>::create(block(), size);

    ULONGLONG seek(LONGLONG displacement, DWORD origin, HRESULT expected = S_OK)
    {
        LARGE_INTEGER d;
        d.QuadPart = displacement;
        ULARGE_INTEGER at{};
        EXPECT_EQ(stream->Seek(d, origin, &at), expected);
        return at.QuadPart;
    }
    ULONG read(void* buffer, ULONG count)
    {
        ULONG got = 0xDEAD;
        EXPECT_EQ(stream->Read(buffer, count, &got), S_OK);
        return got;
    }
};

TEST_F(MemoryStream, ReadsAdvanceAndStopAtTheEnd)
{
    unsigned char buffer[100]{};
    EXPECT_EQ(read(buffer, 30), 30u);
    EXPECT_EQ(std::memcmp(buffer, block(), 30), 0);
    seek(size - 10, STREAM_SEEK_SET);
    EXPECT_EQ(read(buffer, 100), 10u);
    EXPECT_EQ(std::memcmp(buffer, block() + size - 10, 10), 0);
    EXPECT_EQ(read(buffer, 100), 0u);
    EXPECT_EQ(seek(50, STREAM_SEEK_END), size + 50); // past the end is allowed
    EXPECT_EQ(read(buffer, 1), 0u);
}

TEST_F(MemoryStream, SeekFromEachOrigin)
{
    EXPECT_EQ(seek(-8, STREAM_SEEK_END), size - 8);
    EXPECT_EQ(seek(0, STREAM_SEEK_END), size);
    EXPECT_EQ(seek(20, STREAM_SEEK_SET), 20u);
    EXPECT_EQ(seek(-5, STREAM_SEEK_CUR), 15u);
    EXPECT_EQ(seek(7, 17 /* no such origin */), 15u);
}

TEST_F(MemoryStream, SeekBeforeTheStartIsRefusedAndKeepsThePosition)
{
    seek(10, STREAM_SEEK_SET);
    seek(-1, STREAM_SEEK_SET, STG_E_INVALIDFUNCTION);
    seek(-11, STREAM_SEEK_CUR, STG_E_INVALIDFUNCTION);
    seek(-static_cast<LONGLONG>(size) - 1, STREAM_SEEK_END, STG_E_INVALIDFUNCTION);
    seek(0x7FFFFFFFFFFFFFFFLL, STREAM_SEEK_END, STG_E_INVALIDFUNCTION); // overflows
    unsigned char buffer[4]{};
    EXPECT_EQ(read(buffer, 4), 4u);
    EXPECT_EQ(std::memcmp(buffer, block() + 10, 4), 0);
}

TEST_F(MemoryStream, SeekTakesTheWhole64BitDisplacement)
{
    // Cut to 32 bits, 2^32 - 1 would be -1 and 2^32 + 5 would be 5: both back inside the block.
    unsigned char byte = 0;
    EXPECT_EQ(seek(0xFFFFFFFFLL, STREAM_SEEK_SET), 0xFFFFFFFFull);
    EXPECT_EQ(read(&byte, 1), 0u);
    EXPECT_EQ(seek(0x100000005LL, STREAM_SEEK_SET), 0x100000005ull);
    EXPECT_EQ(read(&byte, 1), 0u);
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
}

TEST_F(MemoryStream, OffersOnlyIUnknownAndIStream)
{
    void* out = nullptr;
    ASSERT_EQ(stream->QueryInterface(IID_IStream, &out), S_OK);
    EXPECT_EQ(out, static_cast<void*>(stream));
    EXPECT_EQ(stream->Release(), 1u);
    out = &out;
    EXPECT_EQ(stream->QueryInterface(IID_ISequentialStream, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(stream->Write("x", 1, nullptr), E_NOTIMPL);
}

// A target that takes at most `accept` bytes per Write and then returns `result`.
struct recording_target : IStream {
    std::vector<unsigned char> data;
    HRESULT result = S_OK;
    ULONG accept = 0xFFFFFFFF;

    HRESULT STDMETHODCALLTYPE Write(const void* p, ULONG n, ULONG* written) override
    {
        const ULONG taken = std::min(n, accept);
        data.insert(data.end(), static_cast<const unsigned char*>(p), static_cast<const unsigned char*>(p) + taken);
        *written = taken;
        return result;
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE Read(void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
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
    want.QuadPart = 0x100000000ull; // more than one Write can take
    ASSERT_EQ(stream->CopyTo(&target, want, &read, &written), S_OK);
    EXPECT_EQ(read.QuadPart, 10u);
    EXPECT_EQ(written.QuadPart, 10u);
    ASSERT_EQ(target.data.size(), 10u);
    EXPECT_EQ(std::memcmp(target.data.data(), block() + 90, 10), 0);
    EXPECT_EQ(seek(0, STREAM_SEEK_CUR), size);
}

TEST_F(MemoryStream, CopyToReportsTheTargetsFailureAndStopsAfterWhatItTook)
{
    recording_target target;
    target.result = STG_E_MEDIUMFULL;
    target.accept = 4;
    ULARGE_INTEGER want, read, written;
    want.QuadPart = 30;
    EXPECT_EQ(stream->CopyTo(&target, want, &read, &written), STG_E_MEDIUMFULL);
    EXPECT_EQ(written.QuadPart, 4u);
    EXPECT_EQ(read.QuadPart, 4u);
    EXPECT_EQ(seek(0, STREAM_SEEK_CUR), 4u);
}

} // namespace
