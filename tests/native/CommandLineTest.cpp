// The engine's command lines, byte for byte, and the lines that frame its runs.
#include "engine/logic/CommandLine.h"

#include <gtest/gtest.h>

namespace {

TEST(CommandLine, Apply) {
    struct Row {
        bool validate, ignore;
        const char *temp, *game, *patch, *line;
    };
    const Row rows[] = {
        {true, true, "D:\\Temp", "C:\\Games\\Tarrowmoor", "D:\\update.rtp",
         "-u -j -i \"-otempdir:D:\\Temp\" \"C:\\Games\\Tarrowmoor\" \"D:\\update.rtp\""},
        {false, false, "D:\\Temp", "C:\\Games\\Tarrowmoor", "D:\\update.rtp",
         "-u \"-otempdir:D:\\Temp\" \"C:\\Games\\Tarrowmoor\" \"D:\\update.rtp\""},
        {true, false, "D:\\", "G", "P", "-u -j \"-otempdir:D:\\\" \"G\" \"P\""},
        {false, true, "", "G", "P", "-u -i \"-otempdir:\" \"G\" \"P\""},
        {false, false, "D:\\Temp", "", "P", "-u \"-otempdir:D:\\Temp\" \"P\""}, // no game piece
        // Paths go in as they are: blanks and trailing backslashes untouched.
        {false, false, "C:\\My Temp\\", "C:\\Program Files\\Tarrow Moor\\", "C:\\a b\\p 1.rtp",
         "-u \"-otempdir:C:\\My Temp\\\" \"C:\\Program Files\\Tarrow Moor\\\" \"C:\\a b\\p "
         "1.rtp\""},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(ApplyCommandLine(r.validate, r.ignore, r.temp, r.game, r.patch), r.line);
        EXPECT_EQ(ApplyCommandLine(ApplyOptionPrefix(r.validate, r.ignore), TempDirPiece(r.temp),
                                   r.game, r.patch),
                  r.line);
    }
}

TEST(CommandLine, ListAndRunTexts) {
    EXPECT_EQ(ListCommandLine("C:\\Program Files\\Tarrow Moor", "D:\\a b.rtp"),
              "-l  \"C:\\Program Files\\Tarrow Moor\" \"D:\\a b.rtp\"");
    EXPECT_EQ(ListCommandLine("", "D:\\a b.rtp"), "-l  \"D:\\a b.rtp\"");
    EXPECT_EQ(SingleApplyingLine("D:\\a b.rtp"), "--- Applying:  \"D:\\a b.rtp\" ---");
    EXPECT_EQ(QueueApplyingLine("D:\\a b.rtp"), "--- Applying: D:\\a b.rtp ---");
    EXPECT_EQ(QueueStatusText(12, 140), "Processing patch 12 of 140 from queue.");
}

} // namespace
