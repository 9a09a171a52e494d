// The option switches "Ignore Missing Files." and "Validate install only." and the reset
// after a patch run, clicked on the real dialog. The options exclude one another: the
// queue buttons, the undo check box and the Patch button follow every switch.
#include "tests/wine/Harness.h"

#include "environment/logic/SizeFormat.h"

namespace kt {
namespace {

constexpr int64_t kGiB = 1073741824LL;

const char kIgnoreWarning[] =
    "WARNING: Choosing to ignore missing/incorrect files may cause unforeseen errors.\n You can "
    "NOT ask Brackwater support for help once you have patched this way unless you reinstall "
    "your game first.\n\n By pressing the Yes button you accept this.";

class OptionsTest : public DialogTest {
  protected:
    // Two fixed drives with known free space; C: is the roomier one at start-up.
    void OpenOnTwoDrives() {
        prompts->drives = std::vector<std::pair<std::string, UINT>>{
            {"A:\\", DRIVE_REMOVABLE}, {"C:\\", DRIVE_FIXED}, {"D:\\", DRIVE_FIXED}};
        prompts->freeByDrive["C:\\"] = 10 * kGiB;
        prompts->freeByDrive["D:\\"] = 5 * kGiB;
        OpenDialog();
        ASSERT_EQ(dlg->m_strTempDir, "C:\\");
    }

    // The state in which a patch has been chosen and its space requirement is known.
    void ChoosePatch(int64_t required = kGiB) {
        dlg->m_strPatchPath = "C:\\Downloads\\tarrow_1.23_from_1.22.rtp";
        dlg->m_strPatchFile = "tarrow_1.23_from_1.22.rtp";
        dlg->m_llRequiredSpace = required;
        const std::string size = FormatSize(required);
        dlg->SetItemText(IDC_PATCH_FILE_LABEL,
                         "Select Patch File: (requires min. " + size + " temp space)");
        dlg->SetItemText(IDC_ENABLE_UNDO,
                         "Enable patch undo. (requires " + size + " additional space.)");
        dlg->EnableItem(IDC_ENABLE_UNDO, true);
        dlg->EnableItem(IDOK, true);
        dlg->UpdateData(FALSE);
    }

    // A queue of two patches in queue mode, as the queue dialog leaves the main dialog.
    void BuildQueue() {
        dlg->m_listQueue = {"C:\\Downloads\\a.rtp", "C:\\Downloads\\b.rtp"};
        dlg->m_bUseQueue = TRUE;
        dlg->m_strPatchFile.clear();
        dlg->m_strPatchPath.clear();
        dlg->EnableItem(IDC_SELECT_PATCH, false);
        dlg->EnableItem(IDC_CLEAR_QUEUE, true);
        dlg->EnableItem(IDOK, true);
    }

    // Undo switched on through the check box, with the backup on drive D:.
    void EnableUndoOnD() {
        prompts->browseAnswers.push_back("D:\\Backups");
        Click(IDC_ENABLE_UNDO);
        ASSERT_TRUE(dlg->m_bUndo);
        ASSERT_EQ(dlg->GetCheck(IDC_ENABLE_UNDO), BST_CHECKED);
    }

    void AcceptIgnoreMissing() {
        prompts->boxAnswers.push_back(IDYES);
        Click(IDC_IGNORE_MISSING);
        ASSERT_TRUE(dlg->m_bIgnoreMissing);
    }

    std::string TempLabelFor(int64_t freeBytes) const {
        return "Select a temp directory: (current has " + FormatSize(freeBytes) + " free).";
    }
};

// --- Ignore Missing Files. ------------------------------------------------------------

TEST_F(OptionsTest, IgnoreMissingAsksWithTheWarningBox) {
    OpenOnTwoDrives();
    prompts->boxAnswers.push_back(IDNO);
    Click(IDC_IGNORE_MISSING);
    ASSERT_EQ(prompts->boxes.size(), 1u);
    EXPECT_EQ(prompts->boxes[0].text, kIgnoreWarning);
    EXPECT_EQ(prompts->boxes[0].caption, "WARNING");
    EXPECT_EQ(prompts->boxes[0].type, static_cast<UINT>(MB_YESNO | MB_ICONWARNING));
    EXPECT_EQ(prompts->boxes[0].owner, dlg->m_hWnd);
}

TEST_F(OptionsTest, IgnoreMissingDeclinedStaysOffAndChangesNothing) {
    OpenOnTwoDrives();
    ChoosePatch();
    prompts->boxAnswers.push_back(IDNO);
    Click(IDC_IGNORE_MISSING);
    EXPECT_EQ(dlg->GetCheck(IDC_IGNORE_MISSING), BST_UNCHECKED);
    EXPECT_FALSE(dlg->m_bIgnoreMissing);
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_USE_QUEUE));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_CLEAR_QUEUE));
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_ENABLE_UNDO));
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_VALIDATE_ONLY));
    EXPECT_EQ(dlg->m_strPatchFile, "tarrow_1.23_from_1.22.rtp");
}

TEST_F(OptionsTest, IgnoreMissingDeclinedKeepsTheQueue) {
    OpenOnTwoDrives();
    BuildQueue();
    prompts->boxAnswers.push_back(IDNO);
    Click(IDC_IGNORE_MISSING);
    EXPECT_EQ(dlg->GetCheck(IDC_IGNORE_MISSING), BST_UNCHECKED);
    EXPECT_FALSE(dlg->m_bIgnoreMissing);
    EXPECT_EQ(dlg->m_listQueue.size(), 2u);
    EXPECT_TRUE(dlg->m_bUseQueue);
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_USE_QUEUE));
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_CLEAR_QUEUE));
}

TEST_F(OptionsTest, IgnoreMissingAcceptedDisablesTheQueueButtons) {
    OpenOnTwoDrives();
    ChoosePatch();
    prompts->boxAnswers.push_back(IDYES);
    Click(IDC_IGNORE_MISSING);
    EXPECT_EQ(dlg->GetCheck(IDC_IGNORE_MISSING), BST_CHECKED);
    EXPECT_TRUE(dlg->m_bIgnoreMissing);
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_USE_QUEUE));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_CLEAR_QUEUE));
    EXPECT_FALSE(dlg->m_bUseQueue);
    EXPECT_TRUE(dlg->m_listQueue.empty());
    // Undo and validate-only stay available: they may be on together with it.
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_ENABLE_UNDO));
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_VALIDATE_ONLY));
    EXPECT_EQ(dlg->m_strPatchFile, "tarrow_1.23_from_1.22.rtp");
    EXPECT_TRUE(dlg->IsItemEnabled(IDOK));
}

TEST_F(OptionsTest, IgnoreMissingAcceptedEmptiesAQueue) {
    OpenOnTwoDrives();
    ChoosePatch();
    BuildQueue();
    dlg->m_strPatchPath = "C:\\Downloads\\kept.rtp"; // the selection is not the handler's
    prompts->boxAnswers.push_back(IDYES);
    Click(IDC_IGNORE_MISSING);
    EXPECT_EQ(dlg->GetCheck(IDC_IGNORE_MISSING), BST_CHECKED);
    EXPECT_TRUE(dlg->m_bIgnoreMissing);
    EXPECT_TRUE(dlg->m_listQueue.empty());
    EXPECT_FALSE(dlg->m_bUseQueue);
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_USE_QUEUE));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_CLEAR_QUEUE));
    EXPECT_EQ(dlg->m_strPatchPath, "C:\\Downloads\\kept.rtp");
}

TEST_F(OptionsTest, IgnoreMissingOffWithTheOthersOffEnablesQueueAndUndo) {
    OpenOnTwoDrives(); // no patch chosen: the undo box starts disabled
    ASSERT_FALSE(dlg->IsItemEnabled(IDC_ENABLE_UNDO));
    AcceptIgnoreMissing();
    ASSERT_FALSE(dlg->IsItemEnabled(IDC_USE_QUEUE));
    Click(IDC_IGNORE_MISSING);
    EXPECT_EQ(dlg->GetCheck(IDC_IGNORE_MISSING), BST_UNCHECKED);
    EXPECT_FALSE(dlg->m_bIgnoreMissing);
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_USE_QUEUE));
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_ENABLE_UNDO));
    EXPECT_EQ(dlg->GetCheck(IDC_ENABLE_UNDO), BST_UNCHECKED);
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_CLEAR_QUEUE));
    EXPECT_EQ(prompts->boxes.size(), 1u); // switching off asks nothing
}

TEST_F(OptionsTest, IgnoreMissingOffWithValidateOnKeepsQueueAndUndoDisabled) {
    OpenOnTwoDrives();
    ChoosePatch();
    AcceptIgnoreMissing();
    Click(IDC_VALIDATE_ONLY);
    ASSERT_TRUE(dlg->m_bValidateOnly);
    EXPECT_TRUE(dlg->m_bIgnoreMissing); // both on together
    EXPECT_EQ(dlg->GetCheck(IDC_IGNORE_MISSING), BST_CHECKED);
    Click(IDC_IGNORE_MISSING);
    EXPECT_FALSE(dlg->m_bIgnoreMissing);
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_USE_QUEUE));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_ENABLE_UNDO));
    EXPECT_EQ(dlg->GetCheck(IDC_ENABLE_UNDO), BST_UNCHECKED);
    EXPECT_TRUE(dlg->m_bValidateOnly);
    EXPECT_EQ(dlg->GetItemText(IDOK), "&Validate");
}

TEST_F(OptionsTest, IgnoreMissingOffWithUndoOnKeepsUseQueueDisabled) {
    OpenOnTwoDrives();
    ChoosePatch();
    AcceptIgnoreMissing();
    EnableUndoOnD();
    EXPECT_TRUE(dlg->m_bIgnoreMissing); // both on together
    Click(IDC_IGNORE_MISSING);
    EXPECT_FALSE(dlg->m_bIgnoreMissing);
    EXPECT_EQ(dlg->GetCheck(IDC_IGNORE_MISSING), BST_UNCHECKED);
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_USE_QUEUE));
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_ENABLE_UNDO));
    EXPECT_EQ(dlg->GetCheck(IDC_ENABLE_UNDO), BST_CHECKED);
    EXPECT_TRUE(dlg->m_bUndo);
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_VALIDATE_ONLY));
}

// --- Validate install only. -----------------------------------------------------------

TEST_F(OptionsTest, ValidateOnDisablesQueueAndUndoAndRenamesPatch) {
    OpenOnTwoDrives();
    ChoosePatch();
    BuildQueue();
    dlg->EnableItem(IDC_ENABLE_UNDO, true);
    Click(IDC_VALIDATE_ONLY);
    EXPECT_EQ(dlg->GetCheck(IDC_VALIDATE_ONLY), BST_CHECKED);
    EXPECT_TRUE(dlg->m_bValidateOnly);
    EXPECT_EQ(dlg->GetItemText(IDOK), "&Validate");
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_USE_QUEUE));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_CLEAR_QUEUE));
    EXPECT_TRUE(dlg->m_listQueue.empty());
    EXPECT_FALSE(dlg->m_bUseQueue);
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_ENABLE_UNDO));
    EXPECT_EQ(dlg->GetCheck(IDC_ENABLE_UNDO), BST_UNCHECKED);
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_BACKUP_LABEL));
    EXPECT_EQ(dlg->GetItemText(IDC_BACKUP_LABEL), "");
    EXPECT_TRUE(prompts->boxes.empty()); // no confirmation for validating
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_IGNORE_MISSING));
}

TEST_F(OptionsTest, ValidateOnWhileUndoIsOnSwitchesUndoOffAndBackAgain) {
    OpenOnTwoDrives();
    ChoosePatch();
    EnableUndoOnD();
    ASSERT_EQ(dlg->GetItemText(IDC_BACKUP_LABEL), "Backing up to: D:\\Backups\\undo_from_1.22");
    // Undo disables validate-only; a user gets there only once it is enabled again.
    dlg->EnableItem(IDC_VALIDATE_ONLY, true);
    Click(IDC_VALIDATE_ONLY);
    EXPECT_FALSE(dlg->m_bUndo);
    EXPECT_EQ(dlg->GetCheck(IDC_ENABLE_UNDO), BST_UNCHECKED);
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_ENABLE_UNDO));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_BACKUP_LABEL));
    EXPECT_EQ(dlg->GetItemText(IDC_BACKUP_LABEL), "");
    EXPECT_EQ(dlg->GetItemText(IDOK), "&Validate");
    EXPECT_TRUE(dlg->m_bValidateOnly);
    // The backup root and folder name are left as they were; with undo off they are unused.
    EXPECT_EQ(dlg->m_strBackupDir, "D:\\Backups\\");
    EXPECT_EQ(dlg->m_strBackupFolder, "undo_from_1.22");

    Click(IDC_VALIDATE_ONLY);
    EXPECT_EQ(dlg->GetCheck(IDC_VALIDATE_ONLY), BST_UNCHECKED);
    EXPECT_FALSE(dlg->m_bValidateOnly);
    EXPECT_EQ(dlg->GetItemText(IDOK), "&Patch");
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_ENABLE_UNDO));
    EXPECT_EQ(dlg->GetCheck(IDC_ENABLE_UNDO), BST_UNCHECKED);
    EXPECT_FALSE(dlg->m_bUndo);
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_USE_QUEUE));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_BACKUP_LABEL));
    EXPECT_EQ(dlg->GetItemText(IDC_BACKUP_LABEL), "");
}

TEST_F(OptionsTest, ValidateOffEnablesUndoEvenWithoutAPatch) {
    OpenOnTwoDrives();
    ASSERT_FALSE(dlg->IsItemEnabled(IDC_ENABLE_UNDO));
    Click(IDC_VALIDATE_ONLY);
    ASSERT_TRUE(dlg->m_bValidateOnly);
    Click(IDC_VALIDATE_ONLY);
    EXPECT_FALSE(dlg->m_bValidateOnly);
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_ENABLE_UNDO));
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_USE_QUEUE));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_CLEAR_QUEUE));
    EXPECT_EQ(dlg->GetItemText(IDOK), "&Patch");
}

TEST_F(OptionsTest, ValidateOffWithIgnoreMissingOnKeepsUseQueueDisabled) {
    OpenOnTwoDrives();
    ChoosePatch();
    Click(IDC_VALIDATE_ONLY);
    AcceptIgnoreMissing();
    EXPECT_TRUE(dlg->m_bValidateOnly);
    Click(IDC_VALIDATE_ONLY);
    EXPECT_FALSE(dlg->m_bValidateOnly);
    EXPECT_TRUE(dlg->m_bIgnoreMissing);
    EXPECT_EQ(dlg->GetCheck(IDC_IGNORE_MISSING), BST_CHECKED);
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_USE_QUEUE));
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_ENABLE_UNDO));
    EXPECT_EQ(dlg->GetItemText(IDOK), "&Patch");
}

// --- Enable patch undo. (the exclusion row; the chooser itself is in UndoDestinationTest) -

TEST_F(OptionsTest, UndoOnDisablesValidateAndTheQueueAndOffEnablesThemAgain) {
    OpenOnTwoDrives();
    ChoosePatch();
    BuildQueue();
    dlg->m_strPatchPath = "C:\\Downloads\\tarrow_1.23_from_1.22.rtp";
    dlg->m_strPatchFile = "tarrow_1.23_from_1.22.rtp";
    EnableUndoOnD();
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_VALIDATE_ONLY));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_USE_QUEUE));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_CLEAR_QUEUE));
    EXPECT_TRUE(dlg->m_listQueue.empty());
    EXPECT_FALSE(dlg->m_bUseQueue);
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_IGNORE_MISSING)); // may be on together with undo

    Click(IDC_ENABLE_UNDO);
    EXPECT_FALSE(dlg->m_bUndo);
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_VALIDATE_ONLY));
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_USE_QUEUE));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_CLEAR_QUEUE));
}

TEST_F(OptionsTest, UndoOffWithIgnoreMissingOnKeepsUseQueueDisabled) {
    OpenOnTwoDrives();
    ChoosePatch();
    AcceptIgnoreMissing();
    EnableUndoOnD();
    Click(IDC_ENABLE_UNDO);
    EXPECT_FALSE(dlg->m_bUndo);
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_VALIDATE_ONLY));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_USE_QUEUE));
    EXPECT_TRUE(dlg->m_bIgnoreMissing);
}

// --- ResetAfterRun ----------------------------------------------------------------------

TEST_F(OptionsTest, ResetAfterSuccessfulSingleRunReturnsToIdle) {
    OpenOnTwoDrives();
    ChoosePatch();
    AcceptIgnoreMissing();
    EnableUndoOnD();
    // The user picked a temp directory by hand; meanwhile D: became the roomier drive.
    dlg->m_strTempDir = "C:\\Temp";
    prompts->freeByDrive["D:\\"] = 20 * kGiB;
    dlg->m_listGameFiles.push_back({"C:\\x\\a.dat", 5});
    dlg->SetStatusText("Backup done, now proceeding with patching.");

    dlg->ResetAfterRun(TRUE);
    dlg->UpdateData(FALSE); // the Patch run pushes the members at its end

    EXPECT_TRUE(dlg->m_listGameFiles.empty());
    EXPECT_EQ(dlg->m_strPatchFile, "");
    EXPECT_EQ(dlg->m_strPatchPath, "");
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE), "");
    EXPECT_FALSE(dlg->IsItemEnabled(IDOK));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_ENABLE_UNDO));
    EXPECT_EQ(dlg->GetItemText(IDC_ENABLE_UNDO), "Enable patch undo.");
    EXPECT_EQ(dlg->GetCheck(IDC_ENABLE_UNDO), BST_UNCHECKED);
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE_LABEL), "Select Patch File:");
    EXPECT_FALSE(dlg->m_bUndo);
    EXPECT_EQ(dlg->m_strBackupDir, "");
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_BACKUP_LABEL));
    EXPECT_EQ(dlg->GetItemText(IDC_BACKUP_LABEL), "");
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_VALIDATE_ONLY));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_USE_QUEUE)); // ignore-missing is still ticked
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
    EXPECT_EQ(dlg->m_strTempDir, "D:\\");
    EXPECT_EQ(dlg->GetItemText(IDC_TEMP_DIR), "D:\\");
    EXPECT_EQ(dlg->GetItemText(IDC_TEMP_DIR_LABEL),
              "Select a temp directory: (current has 20.00 GB free).");
    // The option boxes keep their states across runs.
    EXPECT_EQ(dlg->GetCheck(IDC_IGNORE_MISSING), BST_CHECKED);
    EXPECT_TRUE(dlg->m_bIgnoreMissing);
    EXPECT_EQ(dlg->GetCheck(IDC_VALIDATE_ONLY), BST_UNCHECKED);
}

TEST_F(OptionsTest, ResetAfterSuccessfulValidationKeepsValidateOn) {
    OpenOnTwoDrives();
    ChoosePatch();
    Click(IDC_VALIDATE_ONLY);
    dlg->ResetAfterRun(TRUE);
    EXPECT_EQ(dlg->GetCheck(IDC_VALIDATE_ONLY), BST_CHECKED);
    EXPECT_TRUE(dlg->m_bValidateOnly);
    EXPECT_EQ(dlg->GetItemText(IDOK), "&Validate");
    EXPECT_FALSE(dlg->IsItemEnabled(IDOK));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_USE_QUEUE));
    EXPECT_EQ(dlg->GetCheck(IDC_IGNORE_MISSING), BST_UNCHECKED);
}

TEST_F(OptionsTest, ResetAfterFailedSingleRunKeepsTheSelectionAndItsLabels) {
    OpenOnTwoDrives();
    ChoosePatch(3 * kGiB / 2);
    dlg->m_strTempDir = "D:\\Work";
    dlg->ResetAfterRun(FALSE);
    dlg->UpdateData(FALSE);
    EXPECT_EQ(dlg->m_strPatchFile, "tarrow_1.23_from_1.22.rtp");
    EXPECT_EQ(dlg->m_strPatchPath, "C:\\Downloads\\tarrow_1.23_from_1.22.rtp");
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE), "tarrow_1.23_from_1.22.rtp");
    EXPECT_EQ(dlg->m_llRequiredSpace, 3 * kGiB / 2);
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE_LABEL),
              "Select Patch File: (requires min. 1.50 GB temp space)");
    EXPECT_EQ(dlg->GetItemText(IDC_ENABLE_UNDO),
              "Enable patch undo. (requires 1.50 GB additional space.)");
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_ENABLE_UNDO));
    EXPECT_TRUE(dlg->IsItemEnabled(IDOK));
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_USE_QUEUE));
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_SELECT_PATCH));
    EXPECT_EQ(dlg->m_strTempDir, "C:\\");
    EXPECT_EQ(dlg->GetItemText(IDC_TEMP_DIR_LABEL), TempLabelFor(10 * kGiB));
}

TEST_F(OptionsTest, ResetAfterFailedSingleRunWithUndoEndsUndoButKeepsThePatch) {
    OpenOnTwoDrives();
    ChoosePatch();
    EnableUndoOnD();
    dlg->ResetAfterRun(FALSE);
    EXPECT_FALSE(dlg->m_bUndo);
    EXPECT_EQ(dlg->GetCheck(IDC_ENABLE_UNDO), BST_UNCHECKED);
    EXPECT_EQ(dlg->m_strBackupDir, "");
    EXPECT_EQ(dlg->GetItemText(IDC_ENABLE_UNDO), "Enable patch undo.");
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_ENABLE_UNDO));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_BACKUP_LABEL));
    EXPECT_EQ(dlg->GetItemText(IDC_BACKUP_LABEL), "");
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_VALIDATE_ONLY));
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_USE_QUEUE));
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE_LABEL),
              "Select Patch File: (requires min. 1024.00 MB temp space)");
    EXPECT_EQ(dlg->m_strPatchFile, "tarrow_1.23_from_1.22.rtp");
    EXPECT_TRUE(dlg->IsItemEnabled(IDOK));
}

TEST_F(OptionsTest, ResetAfterQueueRunLeavesQueueMode) {
    OpenOnTwoDrives();
    BuildQueue();
    // Queue mode leaves the option boxes unchecked and disabled.
    dlg->EnableItem(IDC_IGNORE_MISSING, false);
    dlg->EnableItem(IDC_VALIDATE_ONLY, false);
    dlg->EnableItem(IDC_ENABLE_UNDO, false);
    dlg->SetItemText(IDC_PATCH_FILE_LABEL, "Select Patch File:");
    dlg->SetStatusText("Processing patch 2 of 2 from queue.");
    dlg->ResetAfterRun(TRUE);
    dlg->UpdateData(FALSE);
    EXPECT_TRUE(dlg->m_listQueue.empty());
    EXPECT_FALSE(dlg->m_bUseQueue);
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_SELECT_PATCH));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_CLEAR_QUEUE));
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_USE_QUEUE));
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_IGNORE_MISSING));
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_VALIDATE_ONLY));
    EXPECT_EQ(dlg->GetCheck(IDC_IGNORE_MISSING), BST_UNCHECKED);
    EXPECT_EQ(dlg->GetCheck(IDC_VALIDATE_ONLY), BST_UNCHECKED);
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_ENABLE_UNDO));
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE_LABEL), "Select Patch File:");
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE), "");
    EXPECT_FALSE(dlg->IsItemEnabled(IDOK));
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
}

TEST_F(OptionsTest, ResetAfterFailedQueueRunDisablesPatchWithNothingSelected) {
    OpenOnTwoDrives();
    BuildQueue();
    dlg->EnableItem(IDC_IGNORE_MISSING, false);
    dlg->EnableItem(IDC_VALIDATE_ONLY, false);
    dlg->EnableItem(IDC_ENABLE_UNDO, false);
    dlg->ResetAfterRun(FALSE);
    EXPECT_TRUE(dlg->m_listQueue.empty());
    EXPECT_FALSE(dlg->m_bUseQueue);
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_SELECT_PATCH));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_CLEAR_QUEUE));
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_IGNORE_MISSING));
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_VALIDATE_ONLY));
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE_LABEL), "Select Patch File:");
    // Queue mode had emptied the single selection: nothing is left to patch.
    EXPECT_EQ(dlg->m_strPatchPath, "");
    EXPECT_FALSE(dlg->IsItemEnabled(IDOK));
}

TEST_F(OptionsTest, ResetKeepsTheTempDirectoryWithoutAFixedDriveAndReportsItsSpace) {
    OpenOnTwoDrives();
    dlg->m_strTempDir = "D:\\Work";
    prompts->drives = std::vector<std::pair<std::string, UINT>>{{"A:\\", DRIVE_REMOVABLE},
                                                                {"N:\\", DRIVE_REMOTE}};
    dlg->ResetAfterRun(FALSE);
    EXPECT_EQ(dlg->m_strTempDir, "D:\\Work");
    EXPECT_EQ(dlg->GetItemText(IDC_TEMP_DIR_LABEL), TempLabelFor(5 * kGiB));

    // A temp directory whose volume cannot be queried reports 0 free.
    prompts->freeByDrive["D:\\"] = -1;
    dlg->ResetAfterRun(FALSE);
    EXPECT_EQ(dlg->GetItemText(IDC_TEMP_DIR_LABEL),
              "Select a temp directory: (current has 0 free).");
}

TEST_F(OptionsTest, ResetTakesTheEarlierOfEquallyRoomyDrives) {
    OpenOnTwoDrives();
    dlg->m_strTempDir = "D:\\Work";
    prompts->freeByDrive["C:\\"] = 0;
    prompts->freeByDrive["D:\\"] = 7 * kGiB;
    prompts->drives->push_back({"E:\\", DRIVE_FIXED});
    prompts->freeByDrive["E:\\"] = 7 * kGiB;
    dlg->ResetAfterRun(TRUE);
    EXPECT_EQ(dlg->m_strTempDir, "D:\\");
    EXPECT_EQ(dlg->GetItemText(IDC_TEMP_DIR_LABEL), TempLabelFor(7 * kGiB));
}

} // namespace
} // namespace kt
