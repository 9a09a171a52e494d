// The version text shown in the status bar and the fallback kept for the undo script.
#include "environment/logic/VersionText.h"

#include <gtest/gtest.h>

namespace {

TEST(VersionText, PrefixAndFallback) {
    // The minor number stands before a one-digit third number and is dropped before longer.
    EXPECT_EQ(VersionPrefix(1, 0, 23), "1.23.");
    EXPECT_EQ(VersionPrefix(1, 0, 6), "1.06.");
    EXPECT_EQ(VersionPrefix(1, 3, 12), "1.12.");
    EXPECT_EQ(VersionPrefix(3, 12, 9), "3.129.");
    EXPECT_EQ(VersionPrefix(65535, 65535, 65535), "65535.65535.");
    // The fallback keeps the text up to its last dot, the dot itself only when more follows.
    const std::pair<const char*, const char*> rows[] = {
        {"1.23.1765", "1.23."}, {"1765", "1765"}, {"1.23.", "1"}, {"", ""}, {".", "."},
        {"1.2", "1."}};
    for (const auto& [text, fallback] : rows) {
        EXPECT_EQ(FallbackVersionOf(text), fallback) << text;
    }
}

} // namespace
