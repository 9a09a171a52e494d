// Choosing the patch file and the temp directory through the real dialog's buttons, with
// the open-file dialog, the folder browser and the free-space queries answered by a script.
#include "tests/wine/Harness.h"

#include <commdlg.h>

namespace kt {
namespace {

class ChoosersTest : public DialogTest {
  protected:
    void SetUp() override {
        DialogTest::SetUp();
        // One fixed drive C: with 6 GB free, so start-up picks "C:\" as the temp directory.
        prompts->drives = std::vector<std::pair<std::string, UINT>>{{"C:\\", DRIVE_FIXED}};
        prompts->freeByDrive["C:\\"] = 6442450944LL;
    }

    // Chooses a patch (answer "" cancels); what the dialog then shows: the patch edit, the
    // two requirement texts, whether undo and Patch are enabled.
    std::string Choose(const std::string& answer) {
        prompts->openAnswers = {answer};
        Click(IDC_SELECT_PATCH);
        EXPECT_FALSE(dlg->m_bBusy);
        EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
        return dlg->GetItemText(IDC_PATCH_FILE) + " | " + dlg->GetItemText(IDC_PATCH_FILE_LABEL) +
               " | " + dlg->GetItemText(IDC_ENABLE_UNDO) +
               (dlg->IsItemEnabled(IDC_ENABLE_UNDO) ? " | undo" : "") +
               (dlg->IsItemEnabled(IDOK) ? " | patch" : "");
    }
};

TEST_F(ChoosersTest, ChoosingThePatchShowsWhatItNeeds) {
    OpenDialog();
    // a.dat (1,000 bytes), Data\b.dat (536), c.dat (99).
    const std::string gd = *scratch / "Install\\Tarrowmoor";
    WriteFileBytes(gd + "\\a.dat", std::string(1000, 'a'));
    WriteFileBytes(gd + "\\Data\\b.dat", std::string(536, 'b'));
    WriteFileBytes(gd + "\\c.dat", std::string(99, 'c'));
    dlg->m_strGameDir = gd;
    engine->Script("7 new.dat\n---\n7 a.dat\n7 B.DAT\n7 new.dat\n---\n7 a.dat\n7 b.dat\n7 c.dat\n"
                   "---\n7 a.dat\nret 3\n");
    const std::string plain = "Select Patch File: | Enable patch undo.";
    EXPECT_EQ(Choose(""), " | " + plain);
    ASSERT_EQ(prompts->openRequests.size(), 1u);
    EXPECT_EQ(prompts->openRequests[0].owner, dlg->m_hWnd);
    EXPECT_EQ(prompts->openRequests[0].filter, "RTP files (*.rtp)|*.rtp||");
    EXPECT_EQ(prompts->openRequests[0].title, "Please select the patch (*.rtp) to apply!");
    EXPECT_EQ(prompts->openRequests[0].flags, static_cast<DWORD>(OFN_READONLY | OFN_FILEMUSTEXIST));
    EXPECT_TRUE(dlg->m_listGameFiles.empty()); // no scan
    EXPECT_EQ(Choose("D:\\p\\adds.rtp"),
              "adds.rtp | Select Patch File: (requires min. no space temp space) | Enable patch "
              "undo. (requires no space additional space.) | undo | patch");
    EXPECT_EQ(engine->Calls(),
              (std::vector<std::string>{"-l  \"" + gd + "\" \"D:\\p\\adds.rtp\""}));
    const std::string update = Choose("D:\\Downloads\\update.rtp");
    EXPECT_EQ(update, "update.rtp | Select Patch File: (requires min. 1.50 kb temp space) | Enable "
                      "patch undo. (requires 1.50 kb additional space.) | undo | patch");
    EXPECT_EQ(dlg->m_strPatchPath, "D:\\Downloads\\update.rtp");
    EXPECT_EQ(dlg->m_llRequiredSpace, 1536);
    EXPECT_EQ(Choose(""), update); // a later choice cancelled keeps the patch
    EXPECT_EQ(engine->Calls().size(), 2u);
    EXPECT_EQ(Choose("D:\\Downloads\\update.rtp"), // the same patch is calculated again
              "update.rtp | Select Patch File: (requires min. 1.60 kb temp space) | Enable "
              "patch undo. (requires 1.60 kb additional space.) | undo | patch");
    // Undo switched on, as the backup destination choice leaves it.
    dlg->m_ctrlEnableUndo.SetCheck(BST_CHECKED);
    dlg->m_bUndo = TRUE;
    dlg->m_strBackupDir = "D:\\Backups\\";
    dlg->m_strBackupFolder = "undo_from_first";
    dlg->EnableItem(IDC_BACKUP_LABEL, true);
    dlg->SetItemText(IDC_BACKUP_LABEL, "Backing up to: D:\\Backups\\undo_from_first");
    dlg->EnableItem(IDC_VALIDATE_ONLY, false);
    dlg->EnableItem(IDC_USE_QUEUE, false);
    // The engine cannot list the next patch: plain texts, undo off (the backup list belongs
    // to the patch before), but the patch can be run.
    EXPECT_EQ(Choose("D:\\q\\other.rtp"), "other.rtp | " + plain + " | patch");
    EXPECT_EQ(dlg->m_llRequiredSpace, 1635);  // what the last calculation found
    EXPECT_EQ(Controls(), "--- q..vios. 0P"); // undo off, its label empty, validate and queue back
    EXPECT_EQ(dlg->m_strBackupDir + dlg->m_strBackupFolder, "");
}

TEST_F(ChoosersTest, WithoutGameDirectoryThePatchIsChosenUncounted) {
    OpenDialog();
    dlg->m_strGameDir.clear();
    EXPECT_EQ(Choose("update.rtp"), "update.rtp | Select Patch File: | Enable patch undo. | patch");
    EXPECT_EQ(dlg->m_strPatchPath, "update.rtp");
    EXPECT_TRUE(engine->Calls().empty());
}

// The folder browser asks with the requirement; the folder is kept as the browser gives it
// (a cancelled browser keeps the old one) and its free space is shown.
TEST_F(ChoosersTest, TempDirectory) {
    struct Row {
        int64_t required;
        const char* answer;
        const char* title;
        const char* dir;
        const char* free;
    };
    const Row rows[] = {
        {0, "", "optimally 6GB", "C:\\", "3.00 GB"},
        {1073741824LL, "D:\\", "at least 1024.00 MB", "D:\\", "1.50 GB"},
        {1610612736LL, "C:\\Temp\\Work", "at least 1.50 GB", "C:\\Temp\\Work", "500.00 MB"},
        {1000, "E:\\Stuff", "at least 0.98 kb", "E:\\Stuff", "0"},
        {0, "F:\\Full", "optimally 6GB", "F:\\Full", "no space"},
    };
    OpenDialog();
    ASSERT_EQ(dlg->m_strTempDir, "C:\\");
    prompts->freeByDrive = {
        {"C:\\", 3221225472LL}, {"D:\\", 1610612736LL}, {"E:\\", -1}, {"F:\\", 0}};
    prompts->freeByPath["C:\\Temp\\Work"] = 524288000LL;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.answer);
        dlg->m_llRequiredSpace = r.required;
        prompts->browseRequests.clear();
        prompts->browseAnswers = {r.answer};
        Click(IDC_SELECT_TEMP_DIR);
        ASSERT_EQ(prompts->browseRequests.size(), 1u);
        EXPECT_EQ(prompts->browseRequests[0].first, dlg->m_hWnd);
        EXPECT_EQ(prompts->browseRequests[0].second,
                  std::string("Please select a destination with ") + r.title +
                      " free space and press 'OK'.");
        EXPECT_EQ(dlg->m_strTempDir, r.dir);
        EXPECT_EQ(dlg->GetItemText(IDC_TEMP_DIR), r.dir);
        EXPECT_EQ(dlg->GetItemText(IDC_TEMP_DIR_LABEL),
                  std::string("Select a temp directory: (current has ") + r.free + " free).");
    }
}

} // namespace
} // namespace kt
