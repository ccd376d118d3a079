#include <gtest/gtest.h>

#include "cd/recording/write_speed.h"

using namespace tallory::cd::recording;

TEST(WriteSpeed, TableAndEstimate) {
    EXPECT_EQ(speedFactor(0), 1u);
    EXPECT_EQ(speedFactor(22), 52u);
    EXPECT_EQ(speedFactor(23), 72u);
    EXPECT_EQ(speedFactor(24), 0u);
    EXPECT_EQ(speedFactor(-1), 0u);
    // (sectors + f + 19999) / f with f = factor x 4500: a 74-minute disc at 1x.
    EXPECT_EQ(estimateWriteMinutes(0, 333000), (333000u + 4500 + 19999) / 4500);
    EXPECT_EQ(estimateWriteMinutes(0, 333000), 79u);
    EXPECT_EQ(estimateWriteMinutes(22, 333000), (333000u + 234000 + 19999) / 234000);
    EXPECT_EQ(estimateWriteMinutes(23, 0), 1u);
    // Outside the table: 0, never a division by zero.
    EXPECT_EQ(estimateWriteMinutes(24, 333000), 0u);
    EXPECT_EQ(estimateWriteMinutes(-5, 333000), 0u);
    // The largest count does not wrap.
    EXPECT_EQ(estimateWriteMinutes(0, 0xFFFFFFFFu), static_cast<uint32_t>((0xFFFFFFFFull + 4500 + 19999) / 4500));
}
