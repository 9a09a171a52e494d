// The file-name part of a patch's path and the backup folder's name built from it, byte-wise
// and in code page 932.
#include "backup/logic/BackupFolderName.h"
#include "environment/logic/FileName.h"

#include <gtest/gtest.h>

namespace {

// Lead bytes of code page 932 (Japanese): 0x81-0x9F and 0xE0-0xFC.
bool IsLeadByte932(unsigned char c) {
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
        EXPECT_EQ(FileNameOfPath(r.path, r.dbcs ? &IsLeadByte932 : nullptr), r.name) << r.path;
    }
}

TEST(BackupFolderName, Names) {
    struct Row {
        const char* patch;
        bool dbcs;
        const char* folder;
    };
    const Row rows[] = {
        {"tarrow_1.23_from_1.22.rtp", false, "undo_from_1.22"}, // from "_from", less 4 chars
        {"mypatch.rtp", false, "undomypatch"},                  // no "_from": the whole name
        {"", false, "undo"},
        {"a_from_b_from_c.rtp", false, "undo_from_b_from_c"},              // the first "_from"
        {"tarrow_1.23_FROM_1.22.rtp", false, "undotarrow_1.23_FROM_1.22"}, // case counts
        {"tarrow-from-1.22.rtp", false, "undotarrow-from-1.22"},
        {"patch.bin", false, "undopatch"}, // any last four characters
        {"patch", false, "undop"},
        {"abc", false, "undo"},
        {"tarrow_from", false, "undo_"},
        // "\x95\x5c" is one character in code page 932; byte-wise it is two.
        {"p\x95\x5c.rtp", false, "undop\x95\x5c"},
        {"ab\x95\x5cxyz", false, "undoab\x95"},
        {"ab\x95\x5cxyz", true, "undoab"}, // never half a character
        {"p\x95\x5c.rtp", true, "undop\x95\x5c"},
        {"\x95\x5c\x95\x5c\x95\x5c", true, "undo"},
        {"a\x81_from.rtp", true, "undoa\x81_from"}, // "_" inside a character
        {"a\x81_from.rtp", false, "undo_from"},
        {"a\x81\x5f_from_1.rtp", true, "undo_from_1"},
        {"patch1.rt\x95", true, "undopatch1"}, // a last lone lead byte
    };
    for (const Row& r : rows) {
        EXPECT_EQ(BackupFolderName(r.patch, r.dbcs ? &IsLeadByte932 : nullptr), r.folder)
            << r.patch << (r.dbcs ? " (932)" : "");
    }
}

} // namespace
