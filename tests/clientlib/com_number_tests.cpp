#include <gtest/gtest.h>

#include <numeric>

#include "free_com_number.h"
#include "wharfcore/com_number.h"

using wharfcore::ComNumberFromPortName;
using wharfcore::FindFreeComNumber;

TEST(ComNumber, DigitsFromTheFourthCharacterUpToTheFirstNonDigit)
{
    EXPECT_EQ(ComNumberFromPortName(L"COM12"), 12u);
    EXPECT_EQ(ComNumberFromPortName(L"COM12x"), 12u);
    EXPECT_EQ(ComNumberFromPortName(L"XYZ7"), 7u);
    EXPECT_EQ(ComNumberFromPortName(L"COM007"), 7u);
}

TEST(ComNumber, ShortOrDigitlessNamesGiveZero)
{
    EXPECT_EQ(ComNumberFromPortName(L""), 0u);
    EXPECT_EQ(ComNumberFromPortName(L"COM"), 0u);
    EXPECT_EQ(ComNumberFromPortName(L"C5"), 0u);
    EXPECT_EQ(ComNumberFromPortName(L"COMx5"), 0u);
}

TEST(ComNumber, OverlongNumberStaysOutOfRangeInsteadOfWrapping)
{
    // 4294967297 is 2^32 + 1: accumulated in 32 bits it would come out as 1.
    EXPECT_GT(ComNumberFromPortName(L"COM4294967297"), wharfcore::max_com_number);
    EXPECT_GT(ComNumberFromPortName(L"COM256"), wharfcore::max_com_number);
    EXPECT_GT(ComNumberFromPortName(L"COM99999999999999999999"), wharfcore::max_com_number);
    EXPECT_EQ(ComNumberFromPortName(L"COM255"), 255u);
}

TEST(FreeComNumber, LowestGapAboveZero)
{
    EXPECT_EQ(FindFreeComNumber(std::vector<std::uint32_t>{}), 1u);
    EXPECT_EQ(FindFreeComNumber({2, 3}), 1u);
    EXPECT_EQ(FindFreeComNumber({1, 2, 3, 5}), 4u);
    EXPECT_EQ(FindFreeComNumber({0, 1, 2}), 3u);
}

TEST(FreeComNumber, DuplicateNumbersCountOnce)
{
    EXPECT_EQ(FindFreeComNumber({1, 1, 2}), 3u);
    EXPECT_EQ(FindFreeComNumber({1, 2, 2, 2, 4}), 3u);
}

TEST(FreeComNumber, AllNumbersInUseGivesOneBeyondTheRange)
{
    std::vector<std::uint32_t> all(255);
    std::iota(all.begin(), all.end(), 1u);
    EXPECT_EQ(FindFreeComNumber(all), 256u);
}

TEST(FreeComNumber, CollectKeepsListOrderAndDuplicates)
{
    const std::vector<wharfcore::ComPortRecord> ports = {{L"a", 1}, {L"b", 1}, {L"", 4}};
    EXPECT_EQ(wharfcore::CollectUsedComNumbers(ports), (std::vector<std::uint32_t>{1, 1, 4}));
}
