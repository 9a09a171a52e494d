// Engine texts as they become lines of the "Patch Messages" list.
#include "engine/logic/MessageSplit.h"

#include <gtest/gtest.h>

namespace {

using Lines = std::vector<std::string>;

// A text of n characters whose characters tell their position: "0123456789012...".
std::string C(size_t n, size_t from = 0) {
    std::string text;
    for (size_t i = from; i < from + n; ++i) {
        text.push_back(static_cast<char>('0' + i % 10));
    }
    return text;
}

TEST(MessageSplit, Trim) {
    EXPECT_EQ(TrimMessageText(" \t\n\v\f\rword one\r\f\v\n\t "), "word one");
    EXPECT_EQ(TrimMessageText("inner \t kept"), "inner \t kept");
    EXPECT_EQ(TrimMessageText(" \r\n "), "");
    EXPECT_EQ(TrimMessageText("\xA0x\xA0"), "\xA0x\xA0");
}

// Up to 80 characters one line; up to 159 two (the cut at 80); up to 239 three (cuts at 80
// and 160); from 240 one whole line. Lengths count after trimming and without line feeds;
// pieces lose white space at the cuts.
TEST(MessageSplit, Split) {
    std::string blankAtCut = C(200);
    blankAtCut[159] = blankAtCut[160] = ' ';
    std::string feeds = C(80);
    feeds.insert(40, "\n\n");
    const std::pair<std::string, Lines> rows[] = {
        {"", {""}},
        {" \t\r\n\v\f  \n", {""}},
        {C(80), {C(80)}},
        {C(81), {C(80), "0"}},
        {C(159), {C(80), C(79, 80)}},
        {C(160), {C(80), C(80, 80), ""}},
        {C(239), {C(80), C(80, 80), C(79, 160)}},
        {C(240), {C(240)}},
        {"   " + C(80) + " \r\n", {C(80)}},
        {feeds, {C(80)}},
        {"Patching\nfile", {"Patchingfile"}},
        {"a\r\nb", {"a\rb"}},
        {"Done.\r\n\r\n", {"Done."}},
        {std::string(70, 'a') + std::string(20, ' ') + std::string(70, 'b'),
         {std::string(70, 'a'), std::string(70, 'b'), ""}},
        {std::string(80, 'x') + "   tail", {std::string(80, 'x'), "tail"}},
        {blankAtCut, {C(80), C(79, 80), C(39, 161)}},
    };
    for (const auto& [text, lines] : rows) {
        EXPECT_EQ(SplitMessageText(text), lines) << text.size();
    }
}

} // namespace
