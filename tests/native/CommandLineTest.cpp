// The engine's command lines, byte for byte, and the lines that frame its runs.
#include "engine/logic/CommandLine.h"

#include <gtest/gtest.h>

namespace {

const std::string kGame = "C:\\Games\\Tarrowmoor";
const std::string kPatch = "D:\\Downloads\\update.rtp";

TEST(ApplyOptionPrefix, SwitchesInFixedOrder) {
    EXPECT_EQ(ApplyOptionPrefix(false, false), "-u ");
    EXPECT_EQ(ApplyOptionPrefix(true, false), "-u -j ");
    EXPECT_EQ(ApplyOptionPrefix(false, true), "-u -i ");
    EXPECT_EQ(ApplyOptionPrefix(true, true), "-u -j -i ");
}

TEST(ApplyCommandLine, BothOptionsAndKnownGameDirectory) {
    EXPECT_EQ(ApplyCommandLine(true, true, "D:\\Temp", kGame, kPatch),
              "-u -j -i \"-otempdir:D:\\Temp\" \"C:\\Games\\Tarrowmoor\" "
              "\"D:\\Downloads\\update.rtp\"");
}

TEST(ApplyCommandLine, NoOptions) {
    EXPECT_EQ(ApplyCommandLine(false, false, "D:\\Temp", kGame, kPatch),
              "-u \"-otempdir:D:\\Temp\" \"C:\\Games\\Tarrowmoor\" \"D:\\Downloads\\update.rtp\"");
}

TEST(ApplyCommandLine, EachOptionAlone) {
    EXPECT_EQ(ApplyCommandLine(true, false, "D:\\Temp", kGame, kPatch),
              "-u -j \"-otempdir:D:\\Temp\" \"C:\\Games\\Tarrowmoor\" "
              "\"D:\\Downloads\\update.rtp\"");
    EXPECT_EQ(ApplyCommandLine(false, true, "D:\\Temp", kGame, kPatch),
              "-u -i \"-otempdir:D:\\Temp\" \"C:\\Games\\Tarrowmoor\" "
              "\"D:\\Downloads\\update.rtp\"");
}

TEST(ApplyCommandLine, EmptyGameDirectoryLeavesOutItsPiece) {
    EXPECT_EQ(ApplyCommandLine(false, false, "D:\\Temp", "", kPatch),
              "-u \"-otempdir:D:\\Temp\" \"D:\\Downloads\\update.rtp\"");
}

TEST(ApplyCommandLine, DriveRootTempDirectoryGoesInUnchanged) {
    EXPECT_EQ(ApplyCommandLine(false, false, "D:\\", kGame, kPatch),
              "-u \"-otempdir:D:\\\" \"C:\\Games\\Tarrowmoor\" \"D:\\Downloads\\update.rtp\"");
}

TEST(ApplyCommandLine, EmptyTempDirectory) {
    EXPECT_EQ(ApplyCommandLine(false, true, "", kGame, kPatch),
              "-u -i \"-otempdir:\" \"C:\\Games\\Tarrowmoor\" \"D:\\Downloads\\update.rtp\"");
}

TEST(ApplyCommandLine, PathsWithBlanksAndTrailingBackslashAreNotTouched) {
    EXPECT_EQ(ApplyCommandLine(false, false, "C:\\My Temp\\", "C:\\Program Files\\Tarrow Moor\\",
                               "C:\\My Patches\\patch 1.30 final.rtp"),
              "-u \"-otempdir:C:\\My Temp\\\" \"C:\\Program Files\\Tarrow Moor\\\" "
              "\"C:\\My Patches\\patch 1.30 final.rtp\"");
}

TEST(ApplyCommandLine, PiecesJoinAsGiven) {
    EXPECT_EQ(TempDirPiece("E:\\t"), "\"-otempdir:E:\\t\"");
    EXPECT_EQ(QuotedPiece("x y"), " \"x y\"");
    EXPECT_EQ(ApplyCommandLine("-u -j ", TempDirPiece("E:\\t"), "G:\\g", "P:\\p.rtp"),
              "-u -j \"-otempdir:E:\\t\" \"G:\\g\" \"P:\\p.rtp\"");
    EXPECT_EQ(ApplyCommandLine("-u ", TempDirPiece("E:\\t"), "", "P:\\p.rtp"),
              "-u \"-otempdir:E:\\t\" \"P:\\p.rtp\"");
}

TEST(ListCommandLine, TwoBlanksAfterTheSwitch) {
    EXPECT_EQ(ListCommandLine(kGame, kPatch),
              "-l  \"C:\\Games\\Tarrowmoor\" \"D:\\Downloads\\update.rtp\"");
}

TEST(ListCommandLine, EmptyGameDirectoryStillTwoBlanksBeforeThePatch) {
    EXPECT_EQ(ListCommandLine("", kPatch), "-l  \"D:\\Downloads\\update.rtp\"");
}

TEST(ListCommandLine, PathsWithBlanks) {
    EXPECT_EQ(ListCommandLine("C:\\Program Files\\Tarrow Moor", "C:\\a b\\c d.rtp"),
              "-l  \"C:\\Program Files\\Tarrow Moor\" \"C:\\a b\\c d.rtp\"");
}

TEST(ApplyingLines, SingleIsQuotedWithTwoBlanksQueueIsBare) {
    EXPECT_EQ(SingleApplyingLine(kPatch), "--- Applying:  \"D:\\Downloads\\update.rtp\" ---");
    EXPECT_EQ(QueueApplyingLine(kPatch), "--- Applying: D:\\Downloads\\update.rtp ---");
    EXPECT_EQ(SingleApplyingLine(""), "--- Applying:  \"\" ---");
}

TEST(QueueStatusText, NumbersFilledIn) {
    EXPECT_EQ(QueueStatusText(1, 3), "Processing patch 1 of 3 from queue.");
    EXPECT_EQ(QueueStatusText(2, 2), "Processing patch 2 of 2 from queue.");
    EXPECT_EQ(QueueStatusText(12, 140), "Processing patch 12 of 140 from queue.");
}

} // namespace
