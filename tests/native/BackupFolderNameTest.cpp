// The backup folder's name, built from the patch file name.
#include "backup/logic/BackupFolderName.h"

#include <gtest/gtest.h>

namespace {

// Lead bytes of code page 932 (Japanese): 0x81-0x9F and 0xE0-0xFC.
bool IsLeadByte932(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

TEST(BackupFolderName, KeepsTheTailFromFromWithoutItsExtension) {
    EXPECT_EQ(BackupFolderName("tarrow_1.23_from_1.22.rtp"), "undo_from_1.22");
}

TEST(BackupFolderName, UsesTheWholeNameWithoutFrom) {
    EXPECT_EQ(BackupFolderName("mypatch.rtp"), "undomypatch");
}

TEST(BackupFolderName, EmptyNameGivesUndoAlone) {
    EXPECT_EQ(BackupFolderName(""), "undo");
}

TEST(BackupFolderName, TakesTheFirstFrom) {
    EXPECT_EQ(BackupFolderName("a_from_b_from_c.rtp"), "undo_from_b_from_c");
}

TEST(BackupFolderName, FromIsMatchedCaseSensitively) {
    EXPECT_EQ(BackupFolderName("tarrow_1.23_FROM_1.22.rtp"), "undotarrow_1.23_FROM_1.22");
    EXPECT_EQ(BackupFolderName("tarrow_1.23_From_1.22.rtp"), "undotarrow_1.23_From_1.22");
    EXPECT_EQ(BackupFolderName("tarrow-from-1.22.rtp"), "undotarrow-from-1.22");
}

TEST(BackupFolderName, DropsTheLastFourCharactersWhateverTheyAre) {
    EXPECT_EQ(BackupFolderName("patch.RTP"), "undopatch");
    EXPECT_EQ(BackupFolderName("patch.bin"), "undopatch");
    EXPECT_EQ(BackupFolderName("patch"), "undop");
    EXPECT_EQ(BackupFolderName("_from.rtp"), "undo_from");
}

TEST(BackupFolderName, ShortTailsBecomeEmpty) {
    EXPECT_EQ(BackupFolderName("abcd"), "undo");
    EXPECT_EQ(BackupFolderName("abc"), "undo");
    EXPECT_EQ(BackupFolderName("x"), "undo");
    // "_from" itself is five characters: one stays.
    EXPECT_EQ(BackupFolderName("tarrow_from"), "undo_");
}

TEST(BackupFolderName, WithoutPredicateWorksOnBytes) {
    // "\x95\x5c" is one double-byte character in code page 932; byte-wise it is two.
    EXPECT_EQ(BackupFolderName("p\x95\x5c.rtp"), "undop\x95\x5c");
    EXPECT_EQ(BackupFolderName("p.r\x95\x5c"), "undop");
    EXPECT_EQ(BackupFolderName("ab\x95\x5cxyz"), "undoab\x95");
}

TEST(BackupFolderName, DoubleByteCharactersAreNeverCutInHalf) {
    // Six characters, the third a double-byte one: four characters go, and no lead byte
    // stays behind alone (byte-wise the name would end in 0x95, see above).
    EXPECT_EQ(BackupFolderName("ab\x95\x5cxyz", &IsLeadByte932), "undoab");
    EXPECT_EQ(BackupFolderName("p\x95\x5c.rtp", &IsLeadByte932), "undop\x95\x5c");
    EXPECT_EQ(BackupFolderName("\x95\x5c\x95\x5c\x95\x5c", &IsLeadByte932), "undo");
}

TEST(BackupFolderName, FromInsideADoubleByteCharacterIsNotMatched) {
    // 0x81 0x5F is one character whose trail byte looks like '_'.
    EXPECT_EQ(BackupFolderName("a\x81_from.rtp", &IsLeadByte932), "undoa\x81_from");
    EXPECT_EQ(BackupFolderName("a\x81_from.rtp"), "undo_from");
    EXPECT_EQ(BackupFolderName("a\x81\x5f_from_1.rtp", &IsLeadByte932), "undo_from_1");
}

TEST(BackupFolderName, ALeadByteAtTheEndCountsAsOneCharacter) {
    EXPECT_EQ(BackupFolderName("patch1.rt\x95", &IsLeadByte932), "undopatch1");
}

} // namespace
