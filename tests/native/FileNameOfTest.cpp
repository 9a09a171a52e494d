// The file-name part of a path, in single-byte and double-byte code pages.
#include "environment/logic/FileName.h"

#include <gtest/gtest.h>

namespace {

bool IsLead932(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

TEST(FileNameOfTest, TextAfterTheLastBackslash) {
    EXPECT_EQ(FileNameOfPath("D:\\Downloads\\update.rtp", nullptr), "update.rtp");
    EXPECT_EQ(FileNameOfPath("C:\\a\\b\\c.dat", &IsLead932), "c.dat");
    EXPECT_EQ(FileNameOfPath("\\lead.rtp", nullptr), "lead.rtp");
}

TEST(FileNameOfTest, PathWithoutBackslashIsTheWholePath) {
    EXPECT_EQ(FileNameOfPath("update.rtp", nullptr), "update.rtp");
    EXPECT_EQ(FileNameOfPath("D:update.rtp", nullptr), "D:update.rtp");
    EXPECT_EQ(FileNameOfPath("", nullptr), "");
}

TEST(FileNameOfTest, PathEndingWithBackslashGivesEmptyText) {
    EXPECT_EQ(FileNameOfPath("D:\\", nullptr), "");
    EXPECT_EQ(FileNameOfPath("D:\\Temp\\", nullptr), "");
    EXPECT_EQ(FileNameOfPath("\\", nullptr), "");
}

TEST(FileNameOfTest, TrailByteWithTheValueOfABackslashIsNoSeparator) {
    // One Shift-JIS character whose trail byte equals '\\'.
    const std::string so = "\x95\x5C";
    EXPECT_EQ(FileNameOfPath("C:\\Games\\" + so + "file.rtp", &IsLead932), so + "file.rtp");
    EXPECT_EQ(FileNameOfPath(so, &IsLead932), so);
    EXPECT_EQ(FileNameOfPath("C:\\" + so + "\\x.rtp", &IsLead932), "x.rtp");
    // Read byte by byte the same path splits inside the character.
    EXPECT_EQ(FileNameOfPath("C:\\Games\\" + so + "file.rtp", nullptr), "file.rtp");
}

TEST(FileNameOfTest, LeadByteAtTheEndStandsAlone) {
    EXPECT_EQ(FileNameOfPath("C:\\a\\b\x95", &IsLead932), "b\x95");
    // A lead byte just before a final backslash swallows it: the name is the last two parts.
    EXPECT_EQ(FileNameOfPath("C:\\a\\b\x95\\", &IsLead932), "b\x95\\");
}

} // namespace
