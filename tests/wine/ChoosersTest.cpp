// Choosing the patch file and the temp directory through the real dialog's buttons, with
// the open-file dialog, the folder browser and the free-space queries answered by a script.
#include "tests/wine/Harness.h"

#include <commdlg.h>

namespace kt {
namespace {

const char kOpenTitle[] = "Please select the patch (*.rtp) to apply!";
const char kOpenFilter[] = "RTP files (*.rtp)|*.rtp||";
const char kTempTitleDefault[] =
    "Please select a destination with optimally 6GB free space and press 'OK'.";

class ChoosersTest : public DialogTest {
  protected:
    void SetUp() override {
        DialogTest::SetUp();
        // One fixed drive C: with 6 GB free, so start-up picks "C:\" as the temp directory.
        prompts->drives = std::vector<std::pair<std::string, UINT>>{{"C:\\", DRIVE_FIXED}};
        prompts->freeByDrive["C:\\"] = 6442450944LL;
    }

    // A game directory of its own: a.dat (1,000 bytes), Data\b.dat (536), c.dat (99).
    std::string UseGameDir() {
        const std::string dir = *scratch / "Install\\Tarrowmoor";
        WriteFileBytes(dir + "\\a.dat", std::string(1000, 'a'));
        WriteFileBytes(dir + "\\Data\\b.dat", std::string(536, 'b'));
        WriteFileBytes(dir + "\\c.dat", std::string(99, 'c'));
        dlg->m_strGameDir = dir;
        return dir;
    }

    struct Shown {
        std::string patchLabel, undoText, patchEdit, tempEdit, tempLabel;
        bool undoEnabled, patchEnabled;
        bool operator==(const Shown&) const = default;
    };
    Shown WhatIsShown() const {
        return {dlg->GetItemText(IDC_PATCH_FILE_LABEL),
                dlg->GetItemText(IDC_ENABLE_UNDO),
                dlg->GetItemText(IDC_PATCH_FILE),
                dlg->GetItemText(IDC_TEMP_DIR),
                dlg->GetItemText(IDC_TEMP_DIR_LABEL),
                dlg->IsItemEnabled(IDC_ENABLE_UNDO),
                dlg->IsItemEnabled(IDOK)};
    }
};

// ---------------------------------------------------------------------------
// The patch file.

TEST_F(ChoosersTest, OpenFileDialogAsksForOneRtpFile) {
    OpenDialog();
    Click(IDC_SELECT_PATCH);
    ASSERT_EQ(prompts->openRequests.size(), 1u);
    const fw::OpenFileRequest& request = prompts->openRequests[0];
    EXPECT_EQ(request.owner, dlg->m_hWnd);
    EXPECT_EQ(request.filter, kOpenFilter);
    EXPECT_EQ(request.title, kOpenTitle);
    EXPECT_EQ(request.flags, 0x1001u);
    EXPECT_EQ(request.flags, static_cast<DWORD>(OFN_READONLY | OFN_FILEMUSTEXIST));
}

TEST_F(ChoosersTest, CancelledPatchChoiceChangesNothing) {
    OpenDialog();
    UseGameDir();
    const Shown before = WhatIsShown();
    prompts->openAnswers = {""};
    Click(IDC_SELECT_PATCH);

    EXPECT_EQ(prompts->openRequests.size(), 1u);
    EXPECT_TRUE(WhatIsShown() == before);
    EXPECT_EQ(before.patchLabel, "Select Patch File:");
    EXPECT_FALSE(before.patchEnabled);
    EXPECT_EQ(dlg->m_strPatchPath, "");
    EXPECT_EQ(dlg->m_strPatchFile, "");
    EXPECT_TRUE(dlg->m_listGameFiles.empty()); // no scan
    EXPECT_TRUE(engine->Calls().empty());
}

TEST_F(ChoosersTest, ChosenPatchShowsWhatItNeeds) {
    OpenDialog();
    const std::string gd = UseGameDir();
    engine->Script("7 a.dat\n7 B.DAT\n7 new.dat\n");
    prompts->openAnswers = {"D:\\Downloads\\update.rtp"};
    Click(IDC_SELECT_PATCH);

    EXPECT_EQ(dlg->m_strPatchPath, "D:\\Downloads\\update.rtp");
    EXPECT_EQ(dlg->m_strPatchFile, "update.rtp");
    EXPECT_EQ(dlg->m_llRequiredSpace, 1536);
    EXPECT_EQ(engine->Calls(),
              (std::vector<std::string>{"-l  \"" + gd + "\" \"D:\\Downloads\\update.rtp\""}));
    const Shown shown = WhatIsShown();
    EXPECT_EQ(shown.patchLabel, "Select Patch File: (requires min. 1.50 kb temp space)");
    EXPECT_EQ(shown.undoText, "Enable patch undo. (requires 1.50 kb additional space.)");
    EXPECT_TRUE(shown.undoEnabled);
    EXPECT_TRUE(shown.patchEnabled);
    EXPECT_EQ(shown.patchEdit, "update.rtp");
    EXPECT_EQ(shown.tempEdit, "C:\\");
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
    EXPECT_FALSE(dlg->m_bBusy);
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_SELECT_PATCH));
    EXPECT_TRUE(dlg->IsItemEnabled(IDCANCEL));

    // Cancelling a later choice keeps this patch and its texts.
    prompts->openAnswers = {""};
    Click(IDC_SELECT_PATCH);
    EXPECT_EQ(dlg->m_strPatchPath, "D:\\Downloads\\update.rtp");
    EXPECT_TRUE(WhatIsShown() == shown);
    EXPECT_EQ(engine->Calls().size(), 1u);
}

TEST_F(ChoosersTest, PatchThatOnlyAddsFilesShowsNoSpace) {
    OpenDialog();
    UseGameDir();
    engine->Script("7 new.dat\n");
    prompts->openAnswers = {"D:\\p\\adds.rtp"};
    Click(IDC_SELECT_PATCH);
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE_LABEL),
              "Select Patch File: (requires min. no space temp space)");
    EXPECT_EQ(dlg->GetItemText(IDC_ENABLE_UNDO),
              "Enable patch undo. (requires no space additional space.)");
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_ENABLE_UNDO));
}

TEST_F(ChoosersTest, SamePatchAgainCalculatesAgainAndFailureFallsBack) {
    OpenDialog();
    UseGameDir();
    engine->Script("7 a.dat\n---\n7 a.dat\n7 b.dat\n7 c.dat\n---\n7 a.dat\nret 3\n");
    prompts->openAnswers = {"D:\\p\\update.rtp", "D:\\p\\update.rtp", "D:\\q\\other.rtp"};

    Click(IDC_SELECT_PATCH);
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE_LABEL),
              "Select Patch File: (requires min. 0.98 kb temp space)");

    Click(IDC_SELECT_PATCH);
    EXPECT_EQ(engine->Calls().size(), 2u);
    EXPECT_EQ(dlg->m_llRequiredSpace, 1635);
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE_LABEL),
              "Select Patch File: (requires min. 1.60 kb temp space)");
    EXPECT_EQ(dlg->GetItemText(IDC_ENABLE_UNDO),
              "Enable patch undo. (requires 1.60 kb additional space.)");

    // The engine fails on the third patch: plain texts, no undo, but the patch can be run.
    Click(IDC_SELECT_PATCH);
    EXPECT_EQ(engine->Calls().size(), 3u);
    EXPECT_EQ(dlg->m_strPatchPath, "D:\\q\\other.rtp");
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE), "other.rtp");
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE_LABEL), "Select Patch File:");
    EXPECT_EQ(dlg->GetItemText(IDC_ENABLE_UNDO), "Enable patch undo.");
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_ENABLE_UNDO));
    EXPECT_TRUE(dlg->IsItemEnabled(IDOK));
    EXPECT_EQ(dlg->m_llRequiredSpace, 1635); // what the last successful calculation found
}

TEST_F(ChoosersTest, FailedCalculationSwitchesUndoOff) {
    OpenDialog();
    UseGameDir();
    engine->Script("7 a.dat\n---\nret 3\n");
    prompts->openAnswers = {"D:\\p\\first.rtp", "D:\\p\\second.rtp"};
    Click(IDC_SELECT_PATCH);
    ASSERT_TRUE(dlg->IsItemEnabled(IDC_ENABLE_UNDO));
    // Undo switched on for the first patch, as the backup destination choice leaves it.
    dlg->m_ctrlEnableUndo.SetCheck(BST_CHECKED);
    dlg->m_bUndo = TRUE;
    dlg->m_strBackupDir = "D:\\Backups\\";
    dlg->m_strBackupFolder = "undo_from_first";
    dlg->EnableItem(IDC_BACKUP_LABEL, true);
    dlg->SetItemText(IDC_BACKUP_LABEL, "Backing up to: D:\\Backups\\undo_from_first");
    dlg->EnableItem(IDC_VALIDATE_ONLY, false);
    dlg->EnableItem(IDC_USE_QUEUE, false);

    // The second patch cannot be listed: the backup list still belongs to the first one.
    Click(IDC_SELECT_PATCH);
    EXPECT_EQ(dlg->m_strPatchPath, "D:\\p\\second.rtp");
    EXPECT_FALSE(dlg->m_bUndo);
    EXPECT_EQ(dlg->GetCheck(IDC_ENABLE_UNDO), BST_UNCHECKED);
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_ENABLE_UNDO));
    EXPECT_EQ(dlg->m_strBackupDir, "");
    EXPECT_EQ(dlg->m_strBackupFolder, "");
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_BACKUP_LABEL));
    EXPECT_EQ(dlg->GetItemText(IDC_BACKUP_LABEL), "");
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_VALIDATE_ONLY));
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_USE_QUEUE));
    EXPECT_TRUE(dlg->IsItemEnabled(IDOK));
}

TEST_F(ChoosersTest, WithoutGameDirectoryThePatchCanStillBeChosen) {
    OpenDialog();
    dlg->m_strGameDir.clear();
    prompts->openAnswers = {"update.rtp"};
    Click(IDC_SELECT_PATCH);
    EXPECT_EQ(dlg->m_strPatchPath, "update.rtp");
    EXPECT_EQ(dlg->m_strPatchFile, "update.rtp"); // no backslash: the whole path
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE), "update.rtp");
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE_LABEL), "Select Patch File:");
    EXPECT_EQ(dlg->GetItemText(IDC_ENABLE_UNDO), "Enable patch undo.");
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_ENABLE_UNDO));
    EXPECT_TRUE(dlg->IsItemEnabled(IDOK));
    EXPECT_TRUE(engine->Calls().empty());
}

// ---------------------------------------------------------------------------
// The temp directory.

TEST_F(ChoosersTest, CancelledBrowserKeepsTheFolderAndRefreshesItsFreeSpace) {
    OpenDialog();
    ASSERT_EQ(dlg->m_strTempDir, "C:\\");
    dlg->SetItemText(IDC_TEMP_DIR_LABEL, "stale");
    prompts->freeByDrive["C:\\"] = 3221225472LL; // 3 GB now

    Click(IDC_SELECT_TEMP_DIR);
    ASSERT_EQ(prompts->browseRequests.size(), 1u);
    EXPECT_EQ(prompts->browseRequests[0].first, dlg->m_hWnd);
    EXPECT_EQ(prompts->browseRequests[0].second, kTempTitleDefault);
    EXPECT_EQ(dlg->m_strTempDir, "C:\\");
    EXPECT_EQ(dlg->GetItemText(IDC_TEMP_DIR), "C:\\");
    EXPECT_EQ(dlg->GetItemText(IDC_TEMP_DIR_LABEL),
              "Select a temp directory: (current has 3.00 GB free).");
    EXPECT_EQ(prompts->freeQueries.back(), "C:\\");
}

TEST_F(ChoosersTest, BrowserTitleNamesTheRequirement) {
    OpenDialog();
    dlg->m_llRequiredSpace = 1073741824LL;
    Click(IDC_SELECT_TEMP_DIR);
    dlg->m_llRequiredSpace = 1610612736LL;
    Click(IDC_SELECT_TEMP_DIR);
    dlg->m_llRequiredSpace = 0;
    Click(IDC_SELECT_TEMP_DIR);
    ASSERT_EQ(prompts->browseRequests.size(), 3u);
    EXPECT_EQ(prompts->browseRequests[0].second,
              "Please select a destination with at least 1024.00 MB free space and press 'OK'.");
    EXPECT_EQ(prompts->browseRequests[1].second,
              "Please select a destination with at least 1.50 GB free space and press 'OK'.");
    EXPECT_EQ(prompts->browseRequests[2].second, kTempTitleDefault);
}

TEST_F(ChoosersTest, RequirementOfAChosenPatchEntersTheTitle) {
    OpenDialog();
    UseGameDir();
    engine->Script("7 a.dat\n");
    prompts->openAnswers = {"D:\\p\\update.rtp"};
    Click(IDC_SELECT_PATCH);
    Click(IDC_SELECT_TEMP_DIR);
    ASSERT_EQ(prompts->browseRequests.size(), 1u);
    EXPECT_EQ(prompts->browseRequests[0].second,
              "Please select a destination with at least 0.98 kb free space and press 'OK'.");
}

TEST_F(ChoosersTest, DriveRootKeepsItsBackslash) {
    OpenDialog();
    prompts->freeByDrive["D:\\"] = 1610612736LL;
    prompts->browseAnswers = {"D:\\"};
    Click(IDC_SELECT_TEMP_DIR);
    EXPECT_EQ(dlg->m_strTempDir, "D:\\");
    EXPECT_EQ(dlg->GetItemText(IDC_TEMP_DIR), "D:\\");
    EXPECT_EQ(dlg->GetItemText(IDC_TEMP_DIR_LABEL),
              "Select a temp directory: (current has 1.50 GB free).");
    EXPECT_EQ(prompts->freeQueries.back(), "D:\\");
}

TEST_F(ChoosersTest, FolderIsStoredAsTheBrowserGivesIt) {
    OpenDialog();
    prompts->freeByPath["C:\\Temp\\Work"] = 524288000LL;
    prompts->browseAnswers = {"C:\\Temp\\Work"};
    Click(IDC_SELECT_TEMP_DIR);
    EXPECT_EQ(dlg->m_strTempDir, "C:\\Temp\\Work");
    EXPECT_EQ(dlg->GetItemText(IDC_TEMP_DIR), "C:\\Temp\\Work");
    EXPECT_EQ(dlg->GetItemText(IDC_TEMP_DIR_LABEL),
              "Select a temp directory: (current has 500.00 MB free).");
}

TEST_F(ChoosersTest, VolumeThatCannotBeQueriedShowsZeroAndFullOneNoSpace) {
    OpenDialog();
    prompts->freeByDrive["E:\\"] = -1;
    prompts->freeByDrive["F:\\"] = 0;
    prompts->browseAnswers = {"E:\\Stuff", "F:\\Full"};
    Click(IDC_SELECT_TEMP_DIR);
    EXPECT_EQ(dlg->m_strTempDir, "E:\\Stuff");
    EXPECT_EQ(dlg->GetItemText(IDC_TEMP_DIR_LABEL),
              "Select a temp directory: (current has 0 free).");
    Click(IDC_SELECT_TEMP_DIR);
    EXPECT_EQ(dlg->GetItemText(IDC_TEMP_DIR_LABEL),
              "Select a temp directory: (current has no space free).");
}

} // namespace
} // namespace kt
