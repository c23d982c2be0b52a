// The COM port database double: claims and releases show as bits of the registry bitmap.
#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

#include "support/doubles_knobs.h"

using namespace wharf_test;

extern "C" {
LONG WINAPI ComDBOpen(HANDLE* database);
LONG WINAPI ComDBClose(HANDLE database);
LONG WINAPI ComDBClaimPort(HANDLE database, DWORD number, BOOL force, BOOL* forced);
LONG WINAPI ComDBReleasePort(HANDLE database, DWORD number);
}

namespace {

std::vector<BYTE> bitmap()
{
    std::vector<BYTE> bits(256, 0);
    DWORD size = static_cast<DWORD>(bits.size()), type = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter",
                     L"ComDB", RRF_RT_REG_BINARY, &type, bits.data(), &size) != ERROR_SUCCESS)
        size = 0;
    bits.resize(size);
    return bits;
}

bool claimed(DWORD number)
{
    auto bits = bitmap();
    return (number - 1) / 8 < bits.size() && (bits[(number - 1) / 8] >> ((number - 1) % 8)) & 1;
}

class ComDB : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ComDBOpen(&db_), ERROR_SUCCESS); }
    void TearDown() override
    {
        for (DWORD n : {1u, 9u, 200u, 256u})
            ComDBReleasePort(db_, n);
        EXPECT_EQ(ComDBClose(db_), ERROR_SUCCESS);
    }
    HANDLE db_ = INVALID_HANDLE_VALUE;
};

TEST_F(ComDB, ClaimAndReleaseSetAndClearOneBitPerNumber)
{
    ASSERT_EQ(ComDBClaimPort(db_, 1, FALSE, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(ComDBClaimPort(db_, 9, FALSE, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(ComDBClaimPort(db_, 256, FALSE, nullptr), ERROR_SUCCESS);
    auto bits = bitmap();
    ASSERT_EQ(bits.size(), 32u);
    EXPECT_EQ(bits[0] & 0x01, 0x01);  // COM1 is bit 0 of byte 0
    EXPECT_EQ(bits[1] & 0x01, 0x01);  // COM9 is bit 0 of byte 1
    EXPECT_EQ(bits[31] & 0x80, 0x80);
    EXPECT_FALSE(claimed(2));

    ASSERT_EQ(ComDBReleasePort(db_, 9), ERROR_SUCCESS);
    EXPECT_FALSE(claimed(9));
    EXPECT_TRUE(claimed(1));
    EXPECT_TRUE(claimed(256));
}

TEST_F(ComDB, SecondClaimNeedsForceAndReportsIt)
{
    BOOL forced = TRUE;
    ASSERT_EQ(ComDBClaimPort(db_, 200, TRUE, &forced), ERROR_SUCCESS);
    EXPECT_FALSE(forced);
    EXPECT_EQ(ComDBClaimPort(db_, 200, FALSE, &forced), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(ComDBClaimPort(db_, 200, TRUE, &forced), ERROR_SUCCESS);
    EXPECT_TRUE(forced);
    EXPECT_TRUE(claimed(200));
}

TEST_F(ComDB, NumbersOutsideTheDatabaseAreRefused)
{
    EXPECT_EQ(ComDBClaimPort(db_, 0, TRUE, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ComDBClaimPort(db_, 257, TRUE, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ComDBReleasePort(db_, 0), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ComDBClaimPort(INVALID_HANDLE_VALUE, 3, TRUE, nullptr), ERROR_INVALID_PARAMETER);
}

TEST(ComDBOpen, KnobMakesOpenFailWithInvalidHandle)
{
    knob_guard fail(knob_comdb_open_fails, 1);
    HANDLE db = nullptr;
    EXPECT_NE(ComDBOpen(&db), ERROR_SUCCESS);
    EXPECT_EQ(db, INVALID_HANDLE_VALUE);
}

} // namespace
