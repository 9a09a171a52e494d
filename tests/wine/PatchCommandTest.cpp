// The Patch command as a user meets it: a patch chosen with the real chooser (the stand-in
// engine lists its files), undo chosen with the real check box, then "&Patch" clicked.
// Prompts and free space come from the test seam; files, folders and controls are real.
// The verdicts and texts themselves are tested in tests/native/PatchOutcomeTest.cpp.
#include "tests/wine/Harness.h"

#include <algorithm>

namespace kt {
namespace {

constexpr int64_t kGiB = 1073741824LL;
const std::string kMainZip(3000, 'm');
const int64_t kNeed = static_cast<int64_t>(kMainZip.size());
const char kQuestion[] =
    "Unable to backup files, do you wish to try to continue patch without a backup ?";
const UINT kOk = MB_ICONINFORMATION | MB_OK;
const UINT kError = MB_ICONERROR | MB_OK;
const UINT kAsk = MB_YESNO | MB_ICONWARNING;

class PatchCommandTest : public DialogTest {
  protected:
    void SetUp() override {
        DialogTest::SetUp();
        prompts->drives =
            std::vector<std::pair<std::string, UINT>>{{"C:\\", DRIVE_FIXED}, {"D:\\", DRIVE_FIXED}};
        prompts->freeByDrive["C:\\"] = 10 * kGiB;
        prompts->freeByDrive["D:\\"] = 5 * kGiB;
        WriteFileBytes(gameDir + "\\tarrowmain.exe", "MZ not really a program");
        WriteFileBytes(gameDir + "\\Data\\main.zip", kMainZip);
        backupRoot = *scratch / "Backups";
        MakeDirs(backupRoot);
        patchPath = *scratch / "Downloads\\tarrow_1.23_from_1.22.rtp";
    }

    // Opens the dialog and chooses the patch: the stand-in engine lists one changed and one
    // added file; the engine's apply run then moves both bars, reports a line and `result`.
    void OpenAndChoose(int result = 0) {
        OpenDialog();
        ASSERT_EQ(dlg->m_strTempDir, "C:\\");
        engine->Script("7 main.zip\n7 new.dat\n---\n6 2\n7 main.zip\n5 16384\n1 engine line\nret " +
                       std::to_string(result) + "\n");
        prompts->openAnswers.push_back(patchPath);
        Click(IDC_SELECT_PATCH);
        ASSERT_EQ(dlg->m_llRequiredSpace, kNeed);
        // Both bars off 0, so that the command is seen putting them back.
        for (fw::ProgressCtrl* bar : {&dlg->m_ctrlProgressFile, &dlg->m_ctrlProgressTotal}) {
            bar->SetRange32(0, 100);
            bar->SetPos(50);
        }
    }

    // Ticks "Enable patch undo." and picks the folder.
    void ChooseBackup(const std::string& root) {
        prompts->browseAnswers.push_back(root);
        Click(IDC_ENABLE_UNDO);
        ASSERT_TRUE(dlg->m_bUndo);
        backupDir = dlg->m_strBackupDir + dlg->m_strBackupFolder;
    }

    size_t ApplyRuns() const {
        const auto calls = engine->Calls();
        return static_cast<size_t>(
            std::count_if(calls.begin(), calls.end(),
                          [](const std::string& c) { return c.rfind("-u ", 0) == 0; }));
    }

    void ExpectBarsAtZero() {
        EXPECT_EQ(dlg->m_ctrlProgressFile.GetPos(), 0);
        EXPECT_EQ(dlg->m_ctrlProgressTotal.GetPos(), 0);
    }

    std::string backupRoot, backupDir, patchPath;
};

TEST_F(PatchCommandTest, SuccessfulRunWithBackupReturnsToIdle) {
    OpenAndChoose();
    ChooseBackup(backupRoot);
    std::vector<std::string> status;
    std::vector<bool> busy;
    {
        DuringRun watch(dlg->m_hWnd, [&] {
            status.push_back(dlg->m_wndStatusBar.GetPaneText(0));
            busy.push_back(dlg->m_bBusy && !dlg->IsItemEnabled(IDCANCEL) &&
                           !dlg->IsItemEnabled(IDC_VALIDATE_ONLY));
        });
        Click(IDOK);
    }
    ASSERT_FALSE(status.empty());
    EXPECT_EQ(status.front(), "Backup done, now proceeding with patching.");
    EXPECT_TRUE(busy.front());
    ASSERT_EQ(prompts->boxes.size(), 1u);
    ExpectBox(0,
              "Patch successful!\nBackup is located in " + backupDir +
                  ".\nRun undo_patch.bat to undo patching.",
              "Success", kOk);
    // The backup holds the changed file (not the added one) and the undo pair.
    Tree files = Snapshot(backupDir);
    EXPECT_EQ(files.erase("undo_patch.bat") + files.erase("undo_patch.reg"), 2u);
    EXPECT_EQ(files, (Tree{{"Data\\", ""}, {"Data\\main.zip", kMainZip}}));
    // The engine applied once, after the listing, with the dialog's options and folders.
    EXPECT_EQ(engine->Calls().back(),
              "-u \"-otempdir:C:\\\" \"" + gameDir + "\" \"" + patchPath + "\"");
    EXPECT_EQ(ApplyRuns(), 1u);
    // Idle again: selection cleared, undo off, Patch disabled, bars at 0.
    EXPECT_FALSE(dlg->m_bBusy);
    EXPECT_TRUE(dlg->IsItemEnabled(IDCANCEL));
    EXPECT_EQ(Controls(), "--- q..vi.s. 0P");
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE), "");
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
    ExpectBarsAtZero(); // (the list ends at its last line: CallbackTest's thousands of files)
}

TEST_F(PatchCommandTest, FailedRunWithBackupKeepsTheSelectionAndTheBackup) {
    OpenAndChoose(9);
    ChooseBackup(backupRoot);
    Click(IDOK);
    ASSERT_EQ(prompts->boxes.size(), 1u);
    ExpectBox(0,
              "Patch failed, please see patch messagebox for details!\nBackup is located in " +
                  backupDir +
                  ".\nYou might run undo_patch.bat if the patch process did not roll back "
                  "automatically.\n You must manually delete the backup.",
              "Error", kError);
    EXPECT_TRUE(PathExists(backupDir + "\\undo_patch.bat")); // never removed by the tool
    EXPECT_EQ(Controls(), "--- q.uvios. 0P");
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE), "tarrow_1.23_from_1.22.rtp");
    EXPECT_FALSE(dlg->m_bBusy);
    ExpectBarsAtZero();
}

// The options reach the engine and the outcome box, and keep their states across runs.
TEST_F(PatchCommandTest, OptionsReachTheEngineAndTheOutcome) {
    struct Row {
        bool validate, ignore;
        int result;
        const char* option;
        const char* text;
    };
    const Row rows[] = {
        {true, false, 7, "-u -j ", "Validate failed, , please see patch messagebox for details!"},
        {false, true, 0, "-u -i ", "Please see patch messagebox for possible errors!"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.option);
        Restart();
        OpenAndChoose(r.result);
        if (r.ignore) {
            prompts->boxAnswers.push_back(IDYES);
            Click(IDC_IGNORE_MISSING);
            prompts->boxes.clear();
        }
        if (r.validate) {
            Click(IDC_VALIDATE_ONLY);
        }
        Click(IDOK);
        ASSERT_EQ(prompts->boxes.size(), 1u);
        ExpectBox(0, r.text, r.result == 0 ? "Success" : "Error", r.result == 0 ? kOk : kError);
        EXPECT_EQ(engine->Calls().back().rfind(std::string(r.option) + "\"-otempdir:", 0), 0u)
            << engine->Calls().back();
        EXPECT_EQ(dlg->GetCheck(IDC_VALIDATE_ONLY), r.validate ? BST_CHECKED : BST_UNCHECKED);
        EXPECT_EQ(dlg->GetCheck(IDC_IGNORE_MISSING), r.ignore ? BST_CHECKED : BST_UNCHECKED);
    }
}

// A space error: one box, no run, no backup, the controls, bars and status as before.
TEST_F(PatchCommandTest, SpaceErrorsStopBeforeAnythingHappens) {
    const std::string temp =
        " for temp files.\n Either select another drive or try to free up space.";
    struct Row {
        const char* backup;
        int64_t freeC, freeBackup;
        std::string text;
    };
    // clang-format off
    const Row rows[] = {
        {"", kNeed - 1, -2, "Not enough space on C:\\" + temp},
        {"root", 10 * kGiB, kNeed - 1, "Not enough space on C:\\ for backup files.\n Either select another drive or disable backup."},
        // The drives are compared without regard to case: both copies must fit on c:.
        {"lower", 2 * kNeed - 1, -2, "Not enough space on c:\\ for both backup and tempdir.\n Either split to separate drives or deselect backup and try again."},
        // The temp drive is checked first; the backup drive D: is not even asked.
        {"D:\\Backups", 10, -2, "Not enough space on C:\\" + temp},
    };
    // clang-format on
    for (const Row& r : rows) {
        SCOPED_TRACE(r.backup);
        Restart();
        OpenAndChoose();
        std::string root = r.backup == std::string("root") ? backupRoot : r.backup;
        if (root == "lower") {
            root = backupRoot;
            root[0] = 'c';
        }
        if (!root.empty()) {
            ChooseBackup(root);
        }
        prompts->freeByDrive["C:\\"] = r.freeC;
        if (r.freeBackup != -2) {
            prompts->freeByPath[dlg->m_strBackupDir] = r.freeBackup;
        }
        dlg->SetStatusText("before the click");
        const auto before = Enabled();
        Click(IDOK);
        ASSERT_EQ(prompts->boxes.size(), 1u);
        ExpectBox(0, r.text, "Error", kError);
        EXPECT_EQ(ApplyRuns(), 0u);
        EXPECT_EQ(Enabled(), before);
        EXPECT_FALSE(dlg->m_bBusy);
        EXPECT_EQ(dlg->m_strPatchPath, patchPath);
        EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "before the click");
        ExpectBarsAtZero();
        if (root == "D:\\Backups") {
            EXPECT_EQ(prompts->freeQueries.back(), "C:\\");
        }
        if (!root.empty()) {
            EXPECT_FALSE(PathExists(backupDir));
            EXPECT_EQ(dlg->GetCheck(IDC_ENABLE_UNDO), BST_CHECKED); // the choice stands
        }
    }
}

TEST_F(PatchCommandTest, QueueRunsWhateverTheTempDriveHolds) {
    OpenAndChoose();
    prompts->freeByDrive["C:\\"] = 0;
    dlg->m_bUseQueue = TRUE;
    dlg->m_listQueue = {*scratch / "q\\one.rtp", *scratch / "q\\two.rtp"};
    Click(IDOK);
    ASSERT_EQ(prompts->boxes.size(), 1u);
    ExpectBox(0, "Patch successful!", "Success", kOk);
    EXPECT_EQ(ApplyRuns(), 2u);
    EXPECT_FALSE(dlg->m_bUseQueue);
    EXPECT_TRUE(dlg->m_listQueue.empty());
}

// --- a backup that fails --------------------------------------------------------------------

TEST_F(PatchCommandTest, FailedCopyAnsweredYesPatchesWithoutBackup) {
    OpenAndChoose(5);
    ChooseBackup(backupRoot);
    prompts->boxAnswers = {IDOK, IDYES, IDOK};
    std::vector<std::string> status;
    std::vector<bool> validate;
    {
        HeldFile held(gameDir + "\\Data\\main.zip"); // another program holds the game file
        DuringRun watch(dlg->m_hWnd, [&] {
            status.push_back(dlg->m_wndStatusBar.GetPaneText(0));
            validate.push_back(dlg->IsItemEnabled(IDC_VALIDATE_ONLY));
        });
        Click(IDOK);
    }
    ASSERT_EQ(prompts->boxes.size(), 3u);
    ExpectBox(0,
              "Unable to copy file: " + gameDir + "\\Data\\main.zip to " + backupDir +
                  "\\Data\\main.zip. Unable to proceed.",
              "Error", kError);
    ExpectBox(1, kQuestion, "Error", kAsk);
    // No backup note: there is no backup.
    ExpectBox(2, "Patch failed, please see patch messagebox for details!", "Error", kError);
    EXPECT_FALSE(PathExists(backupDir)); // the incomplete backup is gone
    EXPECT_TRUE(PathExists(backupRoot));
    ASSERT_FALSE(status.empty());
    EXPECT_EQ(status.front(), "Backup failed, proceeding with patching.");
    EXPECT_FALSE(validate.front()); // validate-only comes back after the run, not during it
    EXPECT_EQ(Controls(), "--- q.uvios. 0P");
    EXPECT_EQ(ApplyRuns(), 1u);
    EXPECT_EQ(dlg->m_strBackupDir, "");
    EXPECT_EQ(dlg->m_strPatchPath, patchPath);
    EXPECT_FALSE(dlg->m_bBusy);
    ExpectBarsAtZero();
}

TEST_F(PatchCommandTest, ExistingBackupFolderIsNeverDeleted) {
    OpenAndChoose();
    ChooseBackup(backupRoot);
    WriteFileBytes(backupDir + "\\earlier.txt", "an earlier backup");
    prompts->boxAnswers = {IDOK, IDYES, IDOK};
    Click(IDOK);
    ASSERT_EQ(prompts->boxes.size(), 3u);
    ExpectBox(0, "Directory: " + backupDir + " already exist.\nUnable to perform backup!.", "Error",
              kError);
    ExpectBox(1, kQuestion, "Error", kAsk);
    ExpectBox(2, "Patch successful!", "Success", kOk);
    EXPECT_EQ(Snapshot(backupDir), (Tree{{"earlier.txt", "an earlier backup"}}));
}

// A backup that fails (a game file held by another program; a full disk while the undo
// file is written) answered No changes nothing: no backup, no run, the dialog as before.
TEST_F(PatchCommandTest, FailedBackupAnsweredNoChangesNothing) {
    for (bool fullDisk : {false, true}) {
        SCOPED_TRACE(fullDisk);
        Restart();
        const std::string root = fullDisk ? FullVolumeFolder("patch") : backupRoot;
        ASSERT_FALSE(root.empty());
        prompts->freeByDrive[root.substr(0, 3)] = 10 * kGiB;
        OpenAndChoose();
        ChooseBackup(root);
        const std::string label = dlg->GetItemText(IDC_BACKUP_LABEL);
        const auto before = Enabled();
        const Tree game = Snapshot(gameDir);
        prompts->boxAnswers = {IDOK, IDNO};
        {
            HeldFile held(gameDir + (fullDisk ? "\\tarrowmain.exe" : "\\Data\\main.zip"));
            Click(IDOK);
        }
        ASSERT_EQ(prompts->boxes.size(), 2u);
        ExpectBox(0,
                  fullDisk ? "Unable to write file: " + backupDir +
                                 "\\undo_patch.reg . Unable to proceed."
                           : "Unable to copy file: " + gameDir + "\\Data\\main.zip to " +
                                 backupDir + "\\Data\\main.zip. Unable to proceed.",
                  "Error", kError);
        ExpectBox(1, kQuestion, "Error", kAsk);
        EXPECT_FALSE(PathExists(backupDir));
        EXPECT_EQ(ApplyRuns(), 0u);
        EXPECT_EQ(Snapshot(gameDir), game);
        EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
        EXPECT_EQ(Enabled(), before);
        EXPECT_FALSE(dlg->m_bBusy);
        EXPECT_EQ(dlg->GetCheck(IDC_ENABLE_UNDO), BST_CHECKED);
        EXPECT_EQ(dlg->m_strBackupDir + dlg->m_strBackupFolder, backupDir);
        EXPECT_EQ(dlg->GetItemText(IDC_BACKUP_LABEL), label);
        EXPECT_EQ(dlg->m_strPatchPath, patchPath);
        ExpectBarsAtZero();
        if (fullDisk) {
            RemoveTree(root);
        }
    }
}

} // namespace
} // namespace kt
