#include <gtest/gtest.h>

#include <windows.h>

#include "corun/errors.h"
#include "driver_buffers.h"

namespace driver = wharfcore::driver;

namespace {

std::vector<std::byte> bytes(std::initializer_list<int> values)
{
    std::vector<std::byte> out;
    for (int v : values)
        out.push_back(static_cast<std::byte>(v));
    return out;
}

long decode_error(const std::vector<std::byte>& reply)
{
    try {
        driver::DecodeString(reply);
    } catch (const corun::details::hresult_error& e) {
        return e.code();
    }
    return S_OK;
}

} // namespace

TEST(DriverBuffers, StringIsCountThenUnitsWithoutTerminator)
{
    EXPECT_EQ(driver::EncodeString(L"Ab\u20AC"), bytes({3, 0, 0, 0, 'A', 0, 'b', 0, 0xAC, 0x20}));
}

TEST(DriverBuffers, EmptyStringIsFourZeroBytes)
{
    EXPECT_EQ(driver::EncodeString(L""), bytes({0, 0, 0, 0}));
}

TEST(DriverBuffers, NumberIsLittleEndian)
{
    EXPECT_EQ(driver::EncodeNumber(0x01020304), bytes({4, 3, 2, 1}));
}

TEST(DriverBuffers, StringReplyRoundTrips)
{
    EXPECT_EQ(driver::DecodeString(driver::EncodeString(L"server.example")), L"server.example");
}

TEST(DriverBuffers, ReplyOfZeroBytesIsEmptyOrZero)
{
    EXPECT_EQ(driver::DecodeString({}), L"");
    EXPECT_EQ(driver::DecodeNumber({}), 0u);
}

TEST(DriverBuffers, StringReplyMayCarryBytesBeyondItsCount)
{
    EXPECT_EQ(driver::DecodeString(bytes({1, 0, 0, 0, 'x', 0, 'y', 0})), L"x");
}

TEST(DriverBuffers, StringReplyLongerThanWrittenIsRefused)
{
    const long invalid_data = static_cast<long>(0x8007000DUL);
    EXPECT_EQ(decode_error(bytes({3, 0, 0, 0, 'a', 0, 'b', 0})), invalid_data);
    EXPECT_EQ(decode_error(bytes({1, 0, 0, 0, 'a'})), invalid_data);
    EXPECT_EQ(decode_error(bytes({0xFF, 0xFF, 0xFF, 0xFF, 'a', 0})), invalid_data);
}

TEST(DriverBuffers, StringReplyShorterThanItsCountFieldIsRefused)
{
    const long invalid_data = static_cast<long>(0x8007000DUL);
    EXPECT_EQ(decode_error(bytes({0})), invalid_data);
    EXPECT_EQ(decode_error(bytes({0, 0, 0})), invalid_data);
}

TEST(DriverBuffers, ShortNumberReplyReadsMissingBytesAsZero)
{
    EXPECT_EQ(driver::DecodeNumber(bytes({0x34, 0x12})), 0x1234u);
    EXPECT_EQ(driver::DecodeNumber(bytes({1, 0, 0, 0, 9, 9})), 1u);
}

TEST(DriverBuffers, ReadControlsOpenForReadingOnly)
{
    EXPECT_TRUE(driver::is_read_only_control(driver::get_remote_host));
    EXPECT_TRUE(driver::is_read_only_control(driver::get_domain));
    EXPECT_FALSE(driver::is_read_only_control(driver::set_password));
    EXPECT_FALSE(driver::is_read_only_control(driver::set_remote_port));
}
