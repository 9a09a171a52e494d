// The file-name part of a path, in single-byte and double-byte code pages.
#include "environment/logic/FileName.h"

#include <gtest/gtest.h>

namespace {

bool IsLead932(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

TEST(FileNameOf, Names) {
    struct Row {
        std::string path;
        bool dbcs;
        std::string name;
    };
    const std::string so = "\x95\x5C"; // one Shift-JIS character whose trail byte is '\'
    const Row rows[] = {
        {"D:\\Downloads\\update.rtp", false, "update.rtp"},
        {"C:\\a\\b\\c.dat", true, "c.dat"},
        {"\\lead.rtp", false, "lead.rtp"},
        {"D:update.rtp", false, "D:update.rtp"}, // no backslash: the whole path
        {"", false, ""},
        {"D:\\Temp\\", false, ""},
        {"C:\\Games\\" + so + "file.rtp", true, so + "file.rtp"},
        {"C:\\Games\\" + so + "file.rtp", false, "file.rtp"}, // byte-wise it splits inside
        {so, true, so},
        {"C:\\" + so + "\\x.rtp", true, "x.rtp"},
        {"C:\\a\\b\x95", true, "b\x95"},     // a last lead byte stands alone
        {"C:\\a\\b\x95\\", true, "b\x95\\"}, // or swallows a final backslash
    };
    for (const Row& r : rows) {
        EXPECT_EQ(FileNameOfPath(r.path, r.dbcs ? &IsLead932 : nullptr), r.name) << r.path;
    }
}

} // namespace
