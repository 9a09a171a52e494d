// Choosing the backup destination with the undo check box: the folder browser and the free
// space come from the test seam, the check box and labels are the dialog's real controls.
#include "tests/wine/Harness.h"

namespace kt {
namespace {

constexpr int64_t kGiB = 1073741824LL;

const char kPrompt1GiB[] = "Please select a backup destination with min. 1024.00 MB free space "
                           "and press 'OK' (Do NOT choose your Tarrow directory).";
const char kNoRoom[] =
    "Not enough room to backup on this drive, select another or press cancel to skip backup.";

class UndoDestinationTest : public DialogTest {
  protected:
    // Temp directory C:\ (the roomier fixed drive), a second fixed drive D:, and a patch of
    // 1 GiB chosen. The game lives on C: below the scratch folder.
    void SetUp() override {
        DialogTest::SetUp();
        prompts->drives =
            std::vector<std::pair<std::string, UINT>>{{"C:\\", DRIVE_FIXED}, {"D:\\", DRIVE_FIXED}};
        prompts->freeByDrive["C:\\"] = 10 * kGiB;
        prompts->freeByDrive["D:\\"] = 5 * kGiB;
        OpenDialog();
        ASSERT_EQ(dlg->m_strTempDir, "C:\\");
        ASSERT_EQ(dlg->m_strGameDir.substr(0, 3), "C:\\");
        dlg->m_strPatchPath = "C:\\Downloads\\tarrow_1.23_from_1.22.rtp";
        dlg->m_strPatchFile = "tarrow_1.23_from_1.22.rtp";
        dlg->m_llRequiredSpace = kGiB;
        dlg->EnableItem(IDC_ENABLE_UNDO, true);
        dlg->EnableItem(IDOK, true);
        prompts->freeQueries.clear();
    }

    void Answers(std::initializer_list<std::string> folders) {
        for (const auto& folder : folders) {
            prompts->browseAnswers.push_back(folder);
        }
    }

    void ExpectAccepted(const std::string& root, const std::string& folder) {
        EXPECT_TRUE(dlg->m_bUndo);
        EXPECT_EQ(dlg->GetCheck(IDC_ENABLE_UNDO), BST_CHECKED);
        EXPECT_EQ(dlg->m_strBackupDir, root);
        EXPECT_EQ(dlg->m_strBackupFolder, folder);
        EXPECT_TRUE(dlg->IsItemEnabled(IDC_BACKUP_LABEL));
        EXPECT_EQ(dlg->GetItemText(IDC_BACKUP_LABEL), "Backing up to: " + root + folder);
        EXPECT_FALSE(dlg->IsItemEnabled(IDC_VALIDATE_ONLY));
        EXPECT_FALSE(dlg->IsItemEnabled(IDC_USE_QUEUE));
        EXPECT_FALSE(dlg->IsItemEnabled(IDC_CLEAR_QUEUE));
    }

    void ExpectDropped() {
        EXPECT_FALSE(dlg->m_bUndo);
        EXPECT_EQ(dlg->GetCheck(IDC_ENABLE_UNDO), BST_UNCHECKED);
        EXPECT_EQ(dlg->m_strBackupDir, "");
        EXPECT_FALSE(dlg->IsItemEnabled(IDC_BACKUP_LABEL));
        EXPECT_EQ(dlg->GetItemText(IDC_BACKUP_LABEL), "");
    }

    void ExpectEveryBrowserAsked(size_t count, const std::string& prompt = kPrompt1GiB) {
        ASSERT_EQ(prompts->browseRequests.size(), count);
        for (const auto& request : prompts->browseRequests) {
            EXPECT_EQ(request.first, dlg->m_hWnd);
            EXPECT_EQ(request.second, prompt);
        }
    }

    void ExpectNoRoomWarnings(size_t count) {
        ASSERT_EQ(prompts->boxes.size(), count);
        for (const auto& box : prompts->boxes) {
            EXPECT_EQ(box.text, kNoRoom);
            EXPECT_EQ(box.caption, "Error");
            EXPECT_EQ(box.type, static_cast<UINT>(MB_ICONWARNING | MB_OK));
            EXPECT_EQ(box.owner, dlg->m_hWnd);
        }
    }
};

TEST_F(UndoDestinationTest, FolderOnAnotherDriveIsAcceptedWithTheFolderName) {
    Answers({"D:\\Backups"});
    Click(IDC_ENABLE_UNDO);
    ExpectEveryBrowserAsked(1);
    ExpectNoRoomWarnings(0);
    ExpectAccepted("D:\\Backups\\", "undo_from_1.22");
    EXPECT_EQ(dlg->GetItemText(IDC_BACKUP_LABEL), "Backing up to: D:\\Backups\\undo_from_1.22");
    // Another drive than the temp directory's: only the destination is asked for room.
    EXPECT_EQ(prompts->freeQueries, std::vector<std::string>{"D:\\Backups"});
}

TEST_F(UndoDestinationTest, DriveRootKeepsItsSingleBackslash) {
    Answers({"D:\\"});
    Click(IDC_ENABLE_UNDO);
    ExpectAccepted("D:\\", "undo_from_1.22");
    EXPECT_EQ(dlg->GetItemText(IDC_BACKUP_LABEL), "Backing up to: D:\\undo_from_1.22");
}

TEST_F(UndoDestinationTest, FolderNameComesFromThePatchFileName) {
    dlg->m_strPatchFile = "mypatch.rtp";
    Answers({"D:\\Backups"});
    Click(IDC_ENABLE_UNDO);
    ExpectAccepted("D:\\Backups\\", "undomypatch");
}

TEST_F(UndoDestinationTest, GameDirectoryIsRefusedSilently) {
    Answers({gameDir, "D:\\Backups"});
    Click(IDC_ENABLE_UNDO);
    ExpectEveryBrowserAsked(2);
    ExpectNoRoomWarnings(0);
    ExpectAccepted("D:\\Backups\\", "undo_from_1.22");
}

TEST_F(UndoDestinationTest, GameDirectoryInOtherCaseIsRefusedToo) {
    std::string upper = gameDir;
    for (char& c : upper) {
        c = static_cast<char>(::toupper(static_cast<unsigned char>(c)));
    }
    std::string lower = gameDir;
    for (char& c : lower) {
        c = static_cast<char>(::tolower(static_cast<unsigned char>(c)));
    }
    Answers({upper, lower + "\\Saves", "D:\\Backups"});
    Click(IDC_ENABLE_UNDO);
    ExpectEveryBrowserAsked(3);
    ExpectNoRoomWarnings(0);
    ExpectAccepted("D:\\Backups\\", "undo_from_1.22");
}

TEST_F(UndoDestinationTest, FolderBelowTheGameDirectoryIsRefusedSilently) {
    Answers({gameDir + "\\Data\\Maps", gameDir + "\\", "D:\\Backups"});
    Click(IDC_ENABLE_UNDO);
    ExpectEveryBrowserAsked(3);
    ExpectNoRoomWarnings(0);
    ExpectAccepted("D:\\Backups\\", "undo_from_1.22");
}

TEST_F(UndoDestinationTest, SiblingStartingWithTheGameDirectoryTextIsRefused) {
    Answers({gameDir + "2", gameDir + " Extras", "D:\\Backups"});
    Click(IDC_ENABLE_UNDO);
    ExpectEveryBrowserAsked(3);
    ExpectNoRoomWarnings(0);
    ExpectAccepted("D:\\Backups\\", "undo_from_1.22");
}

TEST_F(UndoDestinationTest, ParentOfTheGameDirectoryIsAccepted) {
    const std::string games = gameDir.substr(0, gameDir.find_last_of('\\'));
    Answers({games});
    Click(IDC_ENABLE_UNDO);
    ExpectEveryBrowserAsked(1);
    ExpectAccepted(games + "\\", "undo_from_1.22");
}

TEST_F(UndoDestinationTest, CancelClearsTheBox) {
    dlg->m_strBackupFolder = "undo_old"; // a cancelled choice leaves the folder name alone
    Click(IDC_ENABLE_UNDO);
    ExpectEveryBrowserAsked(1);
    ExpectNoRoomWarnings(0);
    ExpectDropped();
    EXPECT_EQ(dlg->m_strBackupFolder, "undo_old");
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_VALIDATE_ONLY));
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_USE_QUEUE));
    EXPECT_TRUE(prompts->freeQueries.empty());
}

TEST_F(UndoDestinationTest, CancelAfterRefusingTheGameDirectoryClearsTheBox) {
    Answers({gameDir, ""});
    Click(IDC_ENABLE_UNDO);
    ExpectEveryBrowserAsked(2);
    ExpectDropped();
}

TEST_F(UndoDestinationTest, SameDriveWithRoomForOnlyOneCopyWarnsAndReopens) {
    prompts->freeByDrive["C:\\"] = 3 * kGiB / 2; // between 1x and 2x the requirement
    Answers({"C:\\Backups", "D:\\Backups"});
    Click(IDC_ENABLE_UNDO);
    ExpectEveryBrowserAsked(2);
    ExpectNoRoomWarnings(1);
    ExpectAccepted("D:\\Backups\\", "undo_from_1.22");
    // The same-drive test reads the temp directory's free space.
    ASSERT_FALSE(prompts->freeQueries.empty());
    EXPECT_EQ(prompts->freeQueries[0], "C:\\");
}

TEST_F(UndoDestinationTest, SameDriveWithExactlyTwiceTheRoomIsAccepted) {
    prompts->freeByDrive["C:\\"] = 2 * kGiB;
    Answers({"c:\\Backups"});
    Click(IDC_ENABLE_UNDO);
    ExpectNoRoomWarnings(0);
    ExpectAccepted("c:\\Backups\\", "undo_from_1.22");
}

TEST_F(UndoDestinationTest, SameDriveOneByteShortOfTwiceIsRefused) {
    prompts->freeByDrive["C:\\"] = 2 * kGiB - 1;
    Answers({"c:\\Backups"});
    Click(IDC_ENABLE_UNDO);
    ExpectEveryBrowserAsked(2);
    ExpectNoRoomWarnings(1);
    ExpectDropped(); // the second browser was cancelled
}

TEST_F(UndoDestinationTest, AnotherDriveNeedsRoomForOneCopyOnly) {
    prompts->freeByDrive["D:\\"] = 3 * kGiB / 2;
    Answers({"D:\\Backups"});
    Click(IDC_ENABLE_UNDO);
    ExpectNoRoomWarnings(0);
    ExpectAccepted("D:\\Backups\\", "undo_from_1.22");
}

TEST_F(UndoDestinationTest, DestinationWithExactlyOneCopyOfRoomIsAccepted) {
    prompts->freeByDrive["D:\\"] = kGiB;
    Answers({"D:\\Backups"});
    Click(IDC_ENABLE_UNDO);
    ExpectNoRoomWarnings(0);
    ExpectAccepted("D:\\Backups\\", "undo_from_1.22");
}

TEST_F(UndoDestinationTest, DestinationWithoutRoomWarnsAndReopens) {
    prompts->freeByDrive["D:\\"] = kGiB - 1;
    prompts->drives->push_back({"E:\\", DRIVE_FIXED});
    prompts->freeByDrive["E:\\"] = 2 * kGiB;
    Answers({"D:\\Backups", "D:\\Other", "E:\\Backups"});
    Click(IDC_ENABLE_UNDO);
    ExpectEveryBrowserAsked(3);
    ExpectNoRoomWarnings(2);
    ExpectAccepted("E:\\Backups\\", "undo_from_1.22");
}

TEST_F(UndoDestinationTest, DestinationWithoutRoomThenCancelClearsTheBox) {
    prompts->freeByDrive["D:\\"] = 0;
    Answers({"D:\\Backups", ""});
    Click(IDC_ENABLE_UNDO);
    ExpectEveryBrowserAsked(2);
    ExpectNoRoomWarnings(1);
    ExpectDropped();
}

TEST_F(UndoDestinationTest, UnreadableDestinationCountsAsFull) {
    prompts->freeByDrive["D:\\"] = -1; // the query fails
    Answers({"D:\\Backups", ""});
    Click(IDC_ENABLE_UNDO);
    ExpectNoRoomWarnings(1);
    ExpectDropped();
}

TEST_F(UndoDestinationTest, UnreadableTempDriveCountsAsFull) {
    prompts->freeByPath["C:\\"] = -1; // the temp directory's query fails
    Answers({"C:\\Backups", ""});
    Click(IDC_ENABLE_UNDO);
    ExpectNoRoomWarnings(1);
    ExpectDropped();
}

TEST_F(UndoDestinationTest, ZeroRequirementShowsNoSpaceAndNamesTheFolderUndo) {
    dlg->m_llRequiredSpace = 0;
    dlg->m_strPatchFile.clear();
    prompts->freeByDrive["D:\\"] = 0;
    Answers({"D:\\Backups"});
    Click(IDC_ENABLE_UNDO);
    ExpectEveryBrowserAsked(1, "Please select a backup destination with min. no space free "
                               "space and press 'OK' (Do NOT choose your Tarrow directory).");
    ExpectNoRoomWarnings(0);
    ExpectAccepted("D:\\Backups\\", "undo");
    EXPECT_EQ(dlg->GetItemText(IDC_BACKUP_LABEL), "Backing up to: D:\\Backups\\undo");
}

TEST_F(UndoDestinationTest, AcceptingEmptiesTheQueue) {
    dlg->m_listQueue = {"C:\\Downloads\\a.rtp", "C:\\Downloads\\b.rtp"};
    dlg->m_bUseQueue = TRUE;
    dlg->EnableItem(IDC_CLEAR_QUEUE, true);
    Answers({"D:\\Backups"});
    Click(IDC_ENABLE_UNDO);
    ExpectAccepted("D:\\Backups\\", "undo_from_1.22");
    EXPECT_TRUE(dlg->m_listQueue.empty());
    EXPECT_FALSE(dlg->m_bUseQueue);
}

TEST_F(UndoDestinationTest, CancellingLeavesTheQueueAlone) {
    dlg->m_listQueue = {"C:\\Downloads\\a.rtp", "C:\\Downloads\\b.rtp"};
    dlg->m_bUseQueue = TRUE;
    dlg->EnableItem(IDC_CLEAR_QUEUE, true);
    Click(IDC_ENABLE_UNDO);
    ExpectDropped();
    EXPECT_EQ(dlg->m_listQueue.size(), 2u);
    EXPECT_TRUE(dlg->m_bUseQueue);
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_CLEAR_QUEUE));
}

TEST_F(UndoDestinationTest, ClearingTheBoxForgetsTheDestination) {
    Answers({"D:\\Backups"});
    Click(IDC_ENABLE_UNDO);
    ASSERT_TRUE(dlg->m_bUndo);
    Click(IDC_ENABLE_UNDO);
    ExpectEveryBrowserAsked(1); // clearing opens no browser
    ExpectDropped();
    EXPECT_EQ(dlg->m_strBackupFolder, "");
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_VALIDATE_ONLY));
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_USE_QUEUE));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_CLEAR_QUEUE));
}

TEST_F(UndoDestinationTest, ClearingTheBoxWithIgnoreMissingTickedKeepsUseQueueDisabled) {
    Answers({"D:\\Backups"});
    Click(IDC_ENABLE_UNDO);
    prompts->boxAnswers.push_back(IDYES);
    Click(IDC_IGNORE_MISSING);
    ASSERT_TRUE(dlg->m_bIgnoreMissing);
    Click(IDC_ENABLE_UNDO);
    ExpectDropped();
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_VALIDATE_ONLY));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_USE_QUEUE));
}

TEST_F(UndoDestinationTest, EmptyGameDirectorySkipsTheRefusal) {
    dlg->m_strGameDir.clear();
    Answers({"C:\\Games\\Tarrow Moor\\Backups"});
    Click(IDC_ENABLE_UNDO);
    ExpectEveryBrowserAsked(1);
    ExpectAccepted("C:\\Games\\Tarrow Moor\\Backups\\", "undo_from_1.22");
}

TEST_F(UndoDestinationTest, EmptyGameDirectoryAndCancelEndAtOnce) {
    dlg->m_strGameDir.clear();
    Click(IDC_ENABLE_UNDO);
    ExpectEveryBrowserAsked(1);
    ExpectDropped();
}

TEST_F(UndoDestinationTest, EmptyTempDirectoryAndCancelEndAtOnce) {
    dlg->m_strTempDir.clear();
    Click(IDC_ENABLE_UNDO);
    ExpectEveryBrowserAsked(1);
    ExpectNoRoomWarnings(0);
    ExpectDropped();
}

TEST_F(UndoDestinationTest, AnswerAfterAWarningIsCheckedAgainstTheGameDirectoryToo) {
    prompts->freeByDrive["D:\\"] = 0;
    Answers({"D:\\Backups", gameDir + "\\Backups", "C:\\Backups"});
    Click(IDC_ENABLE_UNDO);
    ExpectEveryBrowserAsked(3);
    ExpectNoRoomWarnings(1);
    ExpectAccepted("C:\\Backups\\", "undo_from_1.22");
}

TEST_F(UndoDestinationTest, AnswerAfterAWarningGetsEveryRoomTestAgain) {
    prompts->freeByDrive["C:\\"] = 3 * kGiB / 2;
    prompts->freeByDrive["D:\\"] = 0;
    // D: is too full; C: shares the temp drive with room for one copy only.
    Answers({"D:\\Backups", "C:\\Backups", ""});
    Click(IDC_ENABLE_UNDO);
    ExpectEveryBrowserAsked(3);
    ExpectNoRoomWarnings(2);
    ExpectDropped();
}

} // namespace
} // namespace kt
