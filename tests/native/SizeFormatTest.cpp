// Sizes as the user reads them in the labels and prompts.
#include "environment/logic/SizeFormat.h"

#include <gtest/gtest.h>

namespace {

TEST(FormatSize, ZeroIsNoSpace) {
    EXPECT_EQ(FormatSize(0), "no space");
}

TEST(FormatSize, SmallCountsAreKilobytes) {
    EXPECT_EQ(FormatSize(1), "0.00 kb");
    EXPECT_EQ(FormatSize(500), "0.49 kb");
    EXPECT_EQ(FormatSize(1024), "1.00 kb");
    EXPECT_EQ(FormatSize(1536), "1.50 kb");
}

TEST(FormatSize, ExactHalvesRoundAwayFromZeroOnEveryCLibrary) {
    EXPECT_EQ(FormatSize(1152), "1.13 kb"); // 1.125
    EXPECT_EQ(FormatSize(1664), "1.63 kb"); // 1.625
    EXPECT_EQ(FormatSize(-1152), "-1.13 kb");
    EXPECT_EQ(FormatSize(1048576 + 5 * 10486), "1.05 MB"); // 1.0500068... rounds down
}

TEST(FormatSize, ExactlyOneUnitStaysInTheUnitBelow) {
    EXPECT_EQ(FormatSize(1048576), "1024.00 kb");
    EXPECT_EQ(FormatSize(1073741824), "1024.00 MB");
    EXPECT_EQ(FormatSize(1099511627776LL), "1024.00 GB");
    EXPECT_EQ(FormatSize(1099511627777LL), "1.00 TB");
}

TEST(FormatSize, SinglePrecisionBandAboveOneGigabyte) {
    const int64_t gb = 1073741824;
    EXPECT_EQ(FormatSize(gb + 1), "1024.00 MB");
    EXPECT_EQ(FormatSize(gb + 64), "1024.00 MB");
    EXPECT_EQ(FormatSize(gb + 65), "1.00 GB");
    EXPECT_EQ(FormatSize(6442450944LL), "6.00 GB");
    EXPECT_EQ(FormatSize(13421772800LL), "12.50 GB");
}

TEST(FormatSize, NegativeCountsUseKilobytes) {
    EXPECT_EQ(FormatSize(-2048), "-2.00 kb");
    EXPECT_EQ(FormatSize(-1), "-0.00 kb");
    EXPECT_EQ(FormatSize(-1073741824LL * 5), "-5242880.00 kb");
}

TEST(FormatSize, LargeCounts) {
    EXPECT_EQ(FormatSize(1099511627776LL * 3 / 2), "1.50 TB");
    EXPECT_EQ(FormatSize(INT64_MAX), "8388608.00 TB");
    EXPECT_EQ(FormatSize(1048577), "1.00 MB");
}

TEST(FormatTwoDecimals, CarriesThroughNines) {
    EXPECT_EQ(FormatTwoDecimals(9.995), "9.99"); // 9.995 is just below the half in binary
    EXPECT_EQ(FormatTwoDecimals(9.9951), "10.00");
    EXPECT_EQ(FormatTwoDecimals(0.005), "0.01"); // 0.005 is just above the half in binary
    EXPECT_EQ(FormatTwoDecimals(0.125), "0.13");
    EXPECT_EQ(FormatTwoDecimals(2.675), "2.67"); // below the half in binary
}

} // namespace
