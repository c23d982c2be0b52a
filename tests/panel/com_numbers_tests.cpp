#include <gtest/gtest.h>

#include "com_numbers.h"

TEST(FirstFreeComNumber, LowestGapFromOne)
{
    EXPECT_EQ(first_free_in({}), 1u);
    EXPECT_EQ(first_free_in({1, 2, 4}), 3u);
    EXPECT_EQ(first_free_in({2, 3, 4}), 1u);
    EXPECT_EQ(first_free_in({0, 1, 1, 2}), 3u);
}

TEST(FirstFreeComNumber, AllTakenGivesTheNumberAfterTheLast)
{
    std::vector<std::uint32_t> all;
    for (std::uint32_t n = 1; n <= 255; ++n)
        all.push_back(n);
    EXPECT_EQ(first_free_in(all), 256u);
}
