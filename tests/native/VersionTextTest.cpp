// The version text shown in the status bar and the fallback kept for the undo script.
#include "environment/logic/VersionText.h"

#include <gtest/gtest.h>

namespace {

TEST(VersionPrefix, MinorNumberStandsBeforeASingleDigitThirdNumber) {
    EXPECT_EQ(VersionPrefix(1, 0, 23), "1.23.");
    EXPECT_EQ(VersionPrefix(1, 0, 6), "1.06.");
    EXPECT_EQ(VersionPrefix(2, 0, 5), "2.05.");
    EXPECT_EQ(VersionPrefix(1, 0, 12), "1.12.");
}

TEST(VersionPrefix, ThirdNumberOfTwoOrMoreDigitsDropsTheMinorNumber) {
    EXPECT_EQ(VersionPrefix(1, 3, 12), "1.12.");
    EXPECT_EQ(VersionPrefix(1, 3, 10), "1.10.");
    EXPECT_EQ(VersionPrefix(65535, 65535, 65535), "65535.65535.");
    EXPECT_EQ(VersionPrefix(3, 12, 9), "3.129.");
}

TEST(FallbackVersion, KeepsTheTextUpToItsLastDot) {
    EXPECT_EQ(FallbackVersionOf("1.23.1765"), "1.23.");
    EXPECT_EQ(FallbackVersionOf("2.05.1234"), "2.05.");
}

TEST(FallbackVersion, OddShapes) {
    EXPECT_EQ(FallbackVersionOf("1765"), "1765"); // no dot: the whole text
    EXPECT_EQ(FallbackVersionOf("1.23."), "1");   // L = 5, p = 4: one character
    EXPECT_EQ(FallbackVersionOf(""), "");
    EXPECT_EQ(FallbackVersionOf("."), ".");
    EXPECT_EQ(FallbackVersionOf("1.2"), "1.");
}

} // namespace
