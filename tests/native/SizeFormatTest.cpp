// Sizes as the user reads them in the labels and prompts.
#include "environment/logic/SizeFormat.h"

#include <gtest/gtest.h>

namespace {

TEST(FormatSize, Texts) {
    const int64_t gb = 1073741824, tb = 1099511627776LL;
    const std::pair<int64_t, const char*> rows[] = {
        {0, "no space"},
        {1, "0.00 kb"},
        {500, "0.49 kb"},
        {1536, "1.50 kb"},
        {1152, "1.13 kb"},
        {1664, "1.63 kb"},
        {-1152, "-1.13 kb"}, // halves away from zero
        {1048576 + 5 * 10486, "1.05 MB"},
        {1048576, "1024.00 kb"},
        {gb, "1024.00 MB"},
        {tb, "1024.00 GB"},
        {tb + 1, "1.00 TB"},
        {gb + 64, "1024.00 MB"},
        {gb + 65, "1.00 GB"}, // single precision above 1 GB
        {13421772800LL, "12.50 GB"},
        {-2048, "-2.00 kb"},
        {-1, "-0.00 kb"},
        {-gb * 5, "-5242880.00 kb"},
        {tb * 3 / 2, "1.50 TB"},
        {INT64_MAX, "8388608.00 TB"},
        {1048577, "1.00 MB"},
    };
    for (const auto& [bytes, text] : rows) {
        EXPECT_EQ(FormatSize(bytes), text) << bytes;
    }
    EXPECT_EQ(FormatTwoDecimals(9.995), "9.99"); // just below the half in binary
    EXPECT_EQ(FormatTwoDecimals(9.9951), "10.00");
    EXPECT_EQ(FormatTwoDecimals(0.005), "0.01"); // just above the half in binary
}

} // namespace
