// Engine texts as they become lines of the "Patch Messages" list.
#include "engine/logic/MessageSplit.h"

#include <gtest/gtest.h>

namespace {

using Lines = std::vector<std::string>;

// A text of n characters whose characters tell their position: "0123456789012...".
std::string Counted(size_t n) {
    std::string text;
    for (size_t i = 0; i < n; ++i) {
        text.push_back(static_cast<char>('0' + i % 10));
    }
    return text;
}

TEST(TrimMessageText, AllSixWhiteSpaceCharactersAtBothEnds) {
    EXPECT_EQ(TrimMessageText(" \t\n\v\f\rword one\r\f\v\n\t "), "word one");
    EXPECT_EQ(TrimMessageText("inner \t kept"), "inner \t kept");
    EXPECT_EQ(TrimMessageText(" \r\n "), "");
    EXPECT_EQ(TrimMessageText(""), "");
    EXPECT_EQ(TrimMessageText(std::string("\xA0x\xA0", 3)), std::string("\xA0x\xA0", 3));
}

TEST(SplitMessageText, EmptyTextGivesOneEmptyLine) {
    EXPECT_EQ(SplitMessageText(""), Lines{""});
}

TEST(SplitMessageText, OnlyWhiteSpaceGivesOneEmptyLine) {
    EXPECT_EQ(SplitMessageText(" \t\r\n\v\f  \n"), Lines{""});
}

TEST(SplitMessageText, EightyCharactersStayOneLine) {
    EXPECT_EQ(SplitMessageText(Counted(80)), Lines{Counted(80)});
}

TEST(SplitMessageText, EightyOneCharactersGiveEightyAndOne) {
    const std::string text = Counted(81);
    EXPECT_EQ(SplitMessageText(text), (Lines{text.substr(0, 80), "0"}));
}

TEST(SplitMessageText, OneFiftyNineGiveEightyAndSeventyNine) {
    const std::string text = Counted(159);
    const Lines lines = SplitMessageText(text);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], text.substr(0, 80));
    EXPECT_EQ(lines[1], text.substr(80));
    EXPECT_EQ(lines[1].size(), 79u);
}

TEST(SplitMessageText, OneSixtyGiveTwoFullLinesAndAnEmptyThird) {
    const std::string text = Counted(160);
    EXPECT_EQ(SplitMessageText(text), (Lines{text.substr(0, 80), text.substr(80, 80), ""}));
}

TEST(SplitMessageText, TwoThirtyNineGiveEightyEightyAndSeventyNine) {
    const std::string text = Counted(239);
    const Lines lines = SplitMessageText(text);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], text.substr(0, 80));
    EXPECT_EQ(lines[1], text.substr(80, 80));
    EXPECT_EQ(lines[2], text.substr(160));
    EXPECT_EQ(lines[2].size(), 79u);
}

TEST(SplitMessageText, TwoFortyAndMoreStayWhole) {
    EXPECT_EQ(SplitMessageText(Counted(240)), Lines{Counted(240)});
    EXPECT_EQ(SplitMessageText(Counted(241)), Lines{Counted(241)});
    EXPECT_EQ(SplitMessageText(Counted(5000)), Lines{Counted(5000)});
}

TEST(SplitMessageText, LengthCountsAfterTrimming) {
    // 80 characters inside blanks and a trailing CR LF: still one line.
    EXPECT_EQ(SplitMessageText("   " + Counted(80) + " \r\n"), Lines{Counted(80)});
    // 239 characters that become 240 only with their surrounding white space: three lines.
    EXPECT_EQ(SplitMessageText("\t" + Counted(239) + "\n").size(), 3u);
}

TEST(SplitMessageText, LineFeedInsideIsRemovedAndJoinsTheWords) {
    EXPECT_EQ(SplitMessageText("Patching\nfile"), Lines{"Patchingfile"});
    EXPECT_EQ(SplitMessageText("one \n two"), Lines{"one  two"});
}

TEST(SplitMessageText, LineFeedsDoNotCountTowardsTheLength) {
    // 80 characters with line feeds spread through them remain one line.
    std::string text = Counted(80);
    text.insert(40, "\n\n");
    text.insert(10, "\n");
    EXPECT_EQ(SplitMessageText(text), Lines{Counted(80)});
}

TEST(SplitMessageText, InnerCarriageReturnStays) {
    EXPECT_EQ(SplitMessageText("a\rb"), Lines{"a\rb"});
    EXPECT_EQ(SplitMessageText("a\r\nb"), Lines{"a\rb"});
}

TEST(SplitMessageText, TrailingCarriageReturnLineFeedIsTrimmed) {
    EXPECT_EQ(SplitMessageText("Done.\r\n"), Lines{"Done."});
    EXPECT_EQ(SplitMessageText("Done.\r\n\r\n"), Lines{"Done."});
}

TEST(SplitMessageText, PiecesLoseWhiteSpaceAtTheSplitPoints) {
    // 70 letters, 20 blanks, 70 letters: 160 characters, cut inside the blanks.
    const std::string left(70, 'a');
    const std::string right(70, 'b');
    const std::string text = left + std::string(20, ' ') + right;
    ASSERT_EQ(text.size(), 160u);
    const Lines lines = SplitMessageText(text);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], left);                 // ten blanks trimmed from its end
    EXPECT_EQ(lines[1], std::string(70, 'b')); // ten blanks trimmed from its start
    EXPECT_EQ(lines[2], "");
}

TEST(SplitMessageText, TwoLinePieceTrimmedAtItsStart) {
    const std::string text = std::string(80, 'x') + "   tail";
    EXPECT_EQ(SplitMessageText(text), (Lines{std::string(80, 'x'), "tail"}));
}

TEST(SplitMessageText, ThreeLineTextWithBlankAtSecondCut) {
    std::string text = Counted(200);
    text[159] = ' ';
    text[160] = ' ';
    const Lines lines = SplitMessageText(text);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], Counted(200).substr(80, 79));
    EXPECT_EQ(lines[2], Counted(200).substr(161));
}

} // namespace
