// The Patch command as a user meets it: a patch chosen with the real chooser (the stand-in
// engine lists its files), undo chosen with the real check box, then "&Patch" clicked.
// Prompts and free space come from the test seam; files, folders and controls are real.
#include "tests/wine/Harness.h"

#include <commctrl.h>

#include <cstdlib>
#include <functional>
#include <map>

namespace kt {
namespace {

constexpr int64_t kGiB = 1073741824LL;
const std::string kMainZip(3000, 'm');
const std::string kExe = "MZ not really a program";

const char kQuestion[] =
    "Unable to backup files, do you wish to try to continue patch without a backup ?";
const char kTempError[] = " for temp files.\n Either select another drive or try to free up space.";
const char kBackupError[] = " for backup files.\n Either select another drive or disable backup.";
const char kSharedError[] = " for both backup and tempdir.\n Either split to separate drives or "
                            "deselect backup and try again.";

const UINT kBusyIds[] = {
    IDC_PATCH_FILE,    IDC_SELECT_PATCH, IDC_SELECT_TEMP_DIR, IDC_TEMP_DIR,      IDC_USE_QUEUE,
    IDC_CLEAR_QUEUE,   IDC_MESSAGES,     IDC_PROGRESS_TOTAL,  IDC_PROGRESS_FILE, IDC_IGNORE_MISSING,
    IDC_VALIDATE_ONLY, IDC_ENABLE_UNDO,  IDC_BACKUP_LABEL,    IDCANCEL,          IDOK};

// Calls a function each time the engine's callback tells the dialog that lines were added,
// that is, in the middle of the engine run.
class DuringRun {
  public:
    DuringRun(CKelvaneDlg& dlg, std::function<void()> action) : m_dlg(dlg), m_action(action) {
        s_self = this;
        m_original = reinterpret_cast<WNDPROC>(::SetWindowLongPtrA(
            dlg.m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&DuringRun::Proc)));
    }
    ~DuringRun() {
        ::SetWindowLongPtrA(m_dlg.m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_original));
        s_self = nullptr;
    }

  private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
        DuringRun* self = s_self;
        if (msg == WM_MESSAGES_ADDED) {
            self->m_action();
        }
        return ::CallWindowProcA(self->m_original, hwnd, msg, wParam, lParam);
    }
    static inline DuringRun* s_self = nullptr;
    CKelvaneDlg& m_dlg;
    std::function<void()> m_action;
    WNDPROC m_original = nullptr;
};

class PatchCommandTest : public DialogTest {
  protected:
    void SetUp() override {
        DialogTest::SetUp();
        prompts->drives =
            std::vector<std::pair<std::string, UINT>>{{"C:\\", DRIVE_FIXED}, {"D:\\", DRIVE_FIXED}};
        prompts->freeByDrive["C:\\"] = 10 * kGiB;
        prompts->freeByDrive["D:\\"] = 5 * kGiB;
        WriteFileBytes(gameDir + "\\tarrowmain.exe", kExe);
        WriteFileBytes(gameDir + "\\Data\\main.zip", kMainZip);
        backupRoot = *scratch / "Backups";
        MakeDirs(backupRoot);
        patchPath = *scratch / "Downloads\\tarrow_1.23_from_1.22.rtp";
    }

    void Open() {
        OpenDialog();
        ASSERT_EQ(dlg->m_strTempDir, "C:\\");
    }

    // "&Select Patch": the stand-in engine lists one changed and one added file.
    void ChoosePatch() {
        engine->Script("7 main.zip\n7 new.dat\n");
        prompts->openAnswers.push_back(patchPath);
        Click(IDC_SELECT_PATCH);
        ASSERT_EQ(dlg->m_strPatchPath, patchPath);
        ASSERT_EQ(dlg->m_llRequiredSpace, static_cast<int64_t>(kMainZip.size()));
        ASSERT_TRUE(dlg->IsItemEnabled(IDOK));
    }

    // Ticks "Enable patch undo." and picks the folder.
    void ChooseBackup(const std::string& root) {
        prompts->browseAnswers.push_back(root);
        Click(IDC_ENABLE_UNDO);
        ASSERT_TRUE(dlg->m_bUndo);
        backupDir = dlg->m_strBackupDir + dlg->m_strBackupFolder;
        ASSERT_EQ(backupDir, root + "\\" + dlg->m_strBackupFolder);
    }

    void IgnoreMissing() {
        prompts->boxAnswers.push_back(IDYES);
        Click(IDC_IGNORE_MISSING);
        ASSERT_TRUE(dlg->m_bIgnoreMissing);
        prompts->boxes.clear();
    }

    // The engine's apply run: a few lines, then its result.
    void EngineApplies(int result) {
        std::string script;
        for (int i = 0; i < 40; ++i) {
            script += "1 engine line " + std::to_string(i) + "\n";
        }
        script += "ret " + std::to_string(result) + "\n";
        engine->Script(script);
    }

    // Moves both bars off 0, so that the command is seen putting them back.
    void MoveBars() {
        dlg->m_ctrlProgressFile.SetRange32(0, 100);
        dlg->m_ctrlProgressFile.SetPos(50);
        dlg->m_ctrlProgressTotal.SetRange32(0, 100);
        dlg->m_ctrlProgressTotal.SetPos(60);
    }

    void ExpectBarsAtZero() {
        EXPECT_EQ(dlg->m_ctrlProgressFile.GetPos(), 0);
        EXPECT_EQ(dlg->m_ctrlProgressTotal.GetPos(), 0);
    }

    std::map<UINT, bool> EnabledStates() const {
        std::map<UINT, bool> states;
        for (UINT id : kBusyIds) {
            states[id] = dlg->IsItemEnabled(static_cast<int>(id));
        }
        return states;
    }

    size_t ApplyRuns() const {
        size_t runs = 0;
        for (const std::string& call : engine->Calls()) {
            runs += call.rfind("-u ", 0) == 0 ? 1 : 0;
        }
        return runs;
    }

    void ExpectBox(size_t index, const std::string& text, const std::string& caption, UINT type) {
        ASSERT_GT(prompts->boxes.size(), index);
        EXPECT_EQ(prompts->boxes[index].text, text);
        EXPECT_EQ(prompts->boxes[index].caption, caption);
        EXPECT_EQ(prompts->boxes[index].type, type);
        EXPECT_EQ(prompts->boxes[index].owner, dlg->m_hWnd);
    }

    // A space error: one box, no run, no backup, the controls and bars as before.
    void ExpectSpaceError(const std::string& text, const std::map<UINT, bool>& before,
                          const std::string& status) {
        ASSERT_EQ(prompts->boxes.size(), 1u);
        ExpectBox(0, text, "Error", MB_ICONERROR | MB_OK);
        EXPECT_EQ(ApplyRuns(), 0u);
        EXPECT_EQ(EnabledStates(), before);
        EXPECT_FALSE(dlg->m_bBusy);
        EXPECT_EQ(dlg->m_strPatchPath, patchPath);
        EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), status);
        ExpectBarsAtZero();
        if (!backupDir.empty()) {
            EXPECT_FALSE(PathExists(backupDir));
        }
    }

    void ExpectOutcome(bool validate, bool ignore, bool undo, int engineResult,
                       const std::string& mainText);

    std::string backupRoot;
    std::string backupDir;
    std::string patchPath;
};

// --- a run with a backup ------------------------------------------------------------------

TEST_F(PatchCommandTest, SuccessfulRunWithBackup) {
    Open();
    ChoosePatch();
    ChooseBackup(backupRoot);
    EngineApplies(0);
    MoveBars();
    std::vector<std::string> statusDuringRun;
    std::vector<bool> busyDuringRun;
    {
        DuringRun watch(*dlg, [&] {
            statusDuringRun.push_back(dlg->m_wndStatusBar.GetPaneText(0));
            busyDuringRun.push_back(dlg->m_bBusy && !dlg->IsItemEnabled(IDCANCEL) &&
                                    !dlg->IsItemEnabled(IDC_VALIDATE_ONLY));
        });
        Click(IDOK);
    }
    ASSERT_FALSE(statusDuringRun.empty());
    EXPECT_EQ(statusDuringRun.front(), "Backup done, now proceeding with patching.");
    EXPECT_TRUE(busyDuringRun.front());

    ASSERT_EQ(prompts->boxes.size(), 1u);
    ExpectBox(0,
              "Patch successful!\nBackup is located in " + backupDir +
                  ".\nRun undo_patch.bat to undo patching.",
              "Success", MB_ICONINFORMATION | MB_OK);
    // The backup holds the changed file and the undo pair.
    auto files = Snapshot(backupDir);
    EXPECT_EQ(files.size(), 4u);
    EXPECT_EQ(files["Data\\"], "");
    EXPECT_EQ(files["Data\\main.zip"], kMainZip);
    EXPECT_EQ(files["undo_patch.reg"], "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackwater\\"
                                       "Tarrowsaga\\Moorgate]\n\"Version\"=\"1.22\"\n");
    EXPECT_EQ(files["undo_patch.bat"],
              "REM undo_patch.bat file generated by Kelvane.\n"
              "cd /d \"%~dp0\"\n"
              "REM If there are any new files added by the patch they are removed first\n"
              "del /s \"" +
                  gameDir +
                  "\\.\\new.dat\"\n"
                  "REM Now we copy back the modified files\n"
                  "if not exist \"" +
                  gameDir + "\\Data\\\" mkdir \"" + gameDir + "\\Data\"\n" +
                  "copy /Y \".\\Data\\main.zip\" \"" + gameDir +
                  "\\Data\\main.zip\"\n"
                  "REM change the version in windows registry back to match the version we just "
                  "restored\n"
                  "regedit /s \"" +
                  backupDir + "\\undo_patch.reg\"\n");
    // The engine ran once, after the listing.
    ASSERT_EQ(engine->Calls().size(), 2u);
    EXPECT_EQ(ApplyRuns(), 1u);
    // Idle again: selection cleared, undo off, Patch disabled, bars at 0, list at its end.
    EXPECT_FALSE(dlg->m_bBusy);
    EXPECT_EQ(dlg->m_strPatchPath, "");
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE), "");
    EXPECT_FALSE(dlg->IsItemEnabled(IDOK));
    EXPECT_FALSE(dlg->m_bUndo);
    EXPECT_EQ(dlg->GetCheck(IDC_ENABLE_UNDO), BST_UNCHECKED);
    EXPECT_TRUE(dlg->IsItemEnabled(IDCANCEL));
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_SELECT_PATCH));
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
    ExpectBarsAtZero();
    const int count = dlg->m_ctrlMessages.GetCount();
    ASSERT_GT(count, 20);
    RECT last{}, client{};
    ::SendMessageA(dlg->m_ctrlMessages.m_hWnd, LB_GETITEMRECT, count - 1,
                   reinterpret_cast<LPARAM>(&last));
    ::GetClientRect(dlg->m_ctrlMessages.m_hWnd, &client);
    EXPECT_GT(dlg->m_ctrlMessages.GetTopIndex(), 0);
    EXPECT_LE(last.bottom, client.bottom); // the last line is in view
    EXPECT_GE(last.top, client.top);
}

TEST_F(PatchCommandTest, FailedRunWithBackupKeepsTheSelection) {
    Open();
    ChoosePatch();
    ChooseBackup(backupRoot);
    EngineApplies(9);
    MoveBars();
    Click(IDOK);
    ASSERT_EQ(prompts->boxes.size(), 1u);
    ExpectBox(0,
              "Patch failed, please see patch messagebox for details!\nBackup is located in " +
                  backupDir +
                  ".\nYou might run undo_patch.bat if the patch process did not roll back "
                  "automatically.\n You must manually delete the backup.",
              "Error", MB_ICONERROR | MB_OK);
    EXPECT_TRUE(PathExists(backupDir + "\\undo_patch.bat")); // never removed by the tool
    EXPECT_EQ(dlg->m_strPatchPath, patchPath);
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE), "tarrow_1.23_from_1.22.rtp");
    EXPECT_TRUE(dlg->IsItemEnabled(IDOK));
    EXPECT_FALSE(dlg->m_bUndo);
    EXPECT_FALSE(dlg->m_bBusy);
    ExpectBarsAtZero();
}

TEST_F(PatchCommandTest, GameVersionIsShownAgainAfterTheRun) {
    CopyFileOrDie(BuildFile("tests\\versions\\ver_1_0_12_0_pb1549.exe"),
                  gameDir + "\\tarrowmain.exe");
    Open();
    ASSERT_EQ(dlg->m_wndStatusBar.GetPaneText(1), "Current Tarrow version is: 1.12.1549");
    ChoosePatch();
    EngineApplies(0);
    // The patch replaces the game executable while the engine runs.
    bool replaced = false;
    {
        DuringRun watch(*dlg, [&] {
            if (!replaced) {
                replaced = ::CopyFileA(BuildFile("tests\\versions\\ver_2_0_5_1_pb1234.exe").c_str(),
                                       (gameDir + "\\tarrowmain.exe").c_str(), FALSE) != FALSE;
            }
        });
        Click(IDOK);
    }
    ASSERT_TRUE(replaced);
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(1), "Current Tarrow version is: 2.05.1234");
    EXPECT_EQ(dlg->m_strGameVersion, "2.05.");
}

// --- outcome texts --------------------------------------------------------------------------

// One run with the given options and engine result; checks the outcome box. The backup
// note is added to the expected main text when undo is on.
void PatchCommandTest::ExpectOutcome(bool validate, bool ignore, bool undo, int engineResult,
                                     const std::string& mainText) {
    Open();
    ChoosePatch();
    if (ignore) {
        IgnoreMissing();
    }
    if (validate) {
        Click(IDC_VALIDATE_ONLY);
        ASSERT_TRUE(dlg->m_bValidateOnly);
    }
    if (undo) {
        ChooseBackup(backupRoot);
    }
    EngineApplies(engineResult);
    Click(IDOK);
    const bool success = engineResult == 0;
    std::string text = mainText;
    if (undo) {
        text += "\nBackup is located in " + backupDir +
                (success ? ".\nRun undo_patch.bat to undo patching."
                         : ".\nYou might run undo_patch.bat if the patch process did not roll "
                           "back automatically.\n You must manually delete the backup.");
    }
    ASSERT_EQ(prompts->boxes.size(), 1u);
    ExpectBox(0, text, success ? "Success" : "Error",
              success ? MB_ICONINFORMATION | MB_OK : MB_ICONERROR | MB_OK);
    EXPECT_EQ(ApplyRuns(), 1u);
    EXPECT_EQ(dlg->m_strPatchPath, success ? std::string() : patchPath);
    EXPECT_EQ(dlg->IsItemEnabled(IDOK), !success);
    // The option boxes keep their states across runs.
    EXPECT_EQ(dlg->GetCheck(IDC_VALIDATE_ONLY), validate ? BST_CHECKED : BST_UNCHECKED);
    EXPECT_EQ(dlg->GetCheck(IDC_IGNORE_MISSING), ignore ? BST_CHECKED : BST_UNCHECKED);
}

const char kPatched[] = "Patch successful!";
const char kPatchFailed[] = "Patch failed, please see patch messagebox for details!";
const char kValidated[] = "Validate successful!";
const char kValidateFailed[] = "Validate failed, , please see patch messagebox for details!";
const char kSeeMessages[] = "Please see patch messagebox for possible errors!";

TEST_F(PatchCommandTest, OutcomePatched) {
    ExpectOutcome(false, false, false, 0, kPatched);
}
TEST_F(PatchCommandTest, OutcomePatchFailed) {
    ExpectOutcome(false, false, false, 3, kPatchFailed);
}
TEST_F(PatchCommandTest, OutcomePatchedWithBackup) {
    ExpectOutcome(false, false, true, 0, kPatched);
}
TEST_F(PatchCommandTest, OutcomePatchFailedWithBackup) {
    ExpectOutcome(false, false, true, -1, kPatchFailed);
}
TEST_F(PatchCommandTest, OutcomeValidated) {
    ExpectOutcome(true, false, false, 0, kValidated);
}
TEST_F(PatchCommandTest, OutcomeValidateFailed) {
    ExpectOutcome(true, false, false, 7, kValidateFailed);
}
TEST_F(PatchCommandTest, OutcomeIgnoreMissing) {
    ExpectOutcome(false, true, false, 0, kSeeMessages);
}
TEST_F(PatchCommandTest, OutcomeIgnoreMissingFailed) {
    ExpectOutcome(false, true, false, 2, kSeeMessages);
}
TEST_F(PatchCommandTest, OutcomeIgnoreMissingWithBackup) {
    ExpectOutcome(false, true, true, 0, kSeeMessages);
}
TEST_F(PatchCommandTest, OutcomeIgnoreMissingFailedWithBackup) {
    ExpectOutcome(false, true, true, 4, kSeeMessages);
}
TEST_F(PatchCommandTest, OutcomeIgnoreMissingAndValidate) {
    ExpectOutcome(true, true, false, 0, kSeeMessages);
}
TEST_F(PatchCommandTest, OutcomeIgnoreMissingAndValidateFailed) {
    ExpectOutcome(true, true, false, 1, kSeeMessages);
}

// --- space checks ---------------------------------------------------------------------------

TEST_F(PatchCommandTest, TempDriveOneByteShort) {
    Open();
    ChoosePatch();
    prompts->freeByDrive["C:\\"] = static_cast<int64_t>(kMainZip.size()) - 1;
    dlg->SetStatusText("before the click");
    MoveBars();
    const auto before = EnabledStates();
    Click(IDOK);
    ExpectSpaceError(std::string("Not enough space on C:\\") + kTempError, before,
                     "before the click");
}

TEST_F(PatchCommandTest, TempDriveWithExactlyTheRequirementPasses) {
    Open();
    ChoosePatch();
    prompts->freeByDrive["C:\\"] = static_cast<int64_t>(kMainZip.size());
    EngineApplies(0);
    Click(IDOK);
    ASSERT_EQ(prompts->boxes.size(), 1u);
    ExpectBox(0, "Patch successful!", "Success", MB_ICONINFORMATION | MB_OK);
    EXPECT_EQ(ApplyRuns(), 1u);
}

TEST_F(PatchCommandTest, TempDirectoryOnARemovedDrive) {
    Open();
    ChoosePatch();
    prompts->browseAnswers.push_back("Q:\\Temp");
    Click(IDC_SELECT_TEMP_DIR);
    ASSERT_EQ(dlg->m_strTempDir, "Q:\\Temp");
    prompts->freeByDrive["Q:\\"] = -1; // the volume cannot be queried
    const auto before = EnabledStates();
    Click(IDOK);
    ExpectSpaceError(std::string("Not enough space on Q:\\") + kTempError, before, "");
}

TEST_F(PatchCommandTest, QueueRunsWhateverTheTempDriveHolds) {
    Open();
    ChoosePatch();
    prompts->freeByDrive["C:\\"] = 0;
    dlg->m_bUseQueue = TRUE;
    dlg->m_listQueue = {*scratch / "q\\one.rtp", *scratch / "q\\two.rtp"};
    EngineApplies(0);
    Click(IDOK);
    ASSERT_EQ(prompts->boxes.size(), 1u);
    ExpectBox(0, "Patch successful!", "Success", MB_ICONINFORMATION | MB_OK);
    EXPECT_EQ(ApplyRuns(), 2u);
    EXPECT_FALSE(dlg->m_bUseQueue);
    EXPECT_TRUE(dlg->m_listQueue.empty());
}

TEST_F(PatchCommandTest, BackupDriveOneByteShort) {
    Open();
    ChoosePatch();
    ChooseBackup(backupRoot);
    prompts->freeByPath[dlg->m_strBackupDir] = static_cast<int64_t>(kMainZip.size()) - 1;
    const auto before = EnabledStates();
    Click(IDOK);
    ExpectSpaceError(std::string("Not enough space on C:\\") + kBackupError, before, "");
    EXPECT_TRUE(dlg->m_bUndo); // the choice stands
    EXPECT_EQ(dlg->GetCheck(IDC_ENABLE_UNDO), BST_CHECKED);
}

TEST_F(PatchCommandTest, SharedDriveComparedWithoutCase) {
    Open();
    ChoosePatch();
    const std::string lowerRoot = "c" + backupRoot.substr(1);
    ChooseBackup(lowerRoot);
    ASSERT_EQ(dlg->m_strBackupDir.substr(0, 3), "c:\\");
    // Room for one copy of the changed files but not for the temp files as well.
    prompts->freeByDrive["C:\\"] = 2 * static_cast<int64_t>(kMainZip.size()) - 1;
    const auto before = EnabledStates();
    Click(IDOK);
    ExpectSpaceError(std::string("Not enough space on c:\\") + kSharedError, before, "");
}

TEST_F(PatchCommandTest, SharedDriveWithTwiceTheRequirementPasses) {
    Open();
    ChoosePatch();
    ChooseBackup(backupRoot);
    prompts->freeByDrive["C:\\"] = 2 * static_cast<int64_t>(kMainZip.size());
    EngineApplies(0);
    Click(IDOK);
    ASSERT_EQ(prompts->boxes.size(), 1u);
    EXPECT_EQ(prompts->boxes[0].caption, "Success");
    EXPECT_TRUE(PathExists(backupDir + "\\Data\\main.zip"));
}

TEST_F(PatchCommandTest, TempErrorComesBeforeTheBackup) {
    Open();
    ChoosePatch();
    ChooseBackup("D:\\Backups"); // another drive, roomy enough
    prompts->freeByDrive["C:\\"] = 10;
    const auto before = EnabledStates();
    Click(IDOK);
    ExpectSpaceError(std::string("Not enough space on C:\\") + kTempError, before, "");
    EXPECT_EQ(prompts->freeQueries.back(), "C:\\"); // the backup drive was not even asked
}

// --- a backup that fails --------------------------------------------------------------------

TEST_F(PatchCommandTest, FailedCopyAnsweredYesPatchesWithoutBackup) {
    Open();
    ChoosePatch();
    ChooseBackup(backupRoot);
    EngineApplies(0);
    // Another program holds the game file: it cannot be copied.
    HANDLE held = ::CreateFileA((gameDir + "\\Data\\main.zip").c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    prompts->boxAnswers = {IDOK, IDYES, IDOK};
    std::vector<std::string> statusDuringRun;
    std::vector<bool> validateDuringRun;
    {
        DuringRun watch(*dlg, [&] {
            statusDuringRun.push_back(dlg->m_wndStatusBar.GetPaneText(0));
            validateDuringRun.push_back(dlg->IsItemEnabled(IDC_VALIDATE_ONLY));
        });
        Click(IDOK);
    }
    ::CloseHandle(held);

    ASSERT_EQ(prompts->boxes.size(), 3u);
    ExpectBox(0,
              "Unable to copy file: " + gameDir + "\\Data\\main.zip to " + backupDir +
                  "\\Data\\main.zip. Unable to proceed.",
              "Error", MB_ICONERROR | MB_OK);
    ExpectBox(1, kQuestion, "Error", MB_YESNO | MB_ICONWARNING);
    ExpectBox(2, "Patch successful!", "Success", MB_ICONINFORMATION | MB_OK);
    EXPECT_FALSE(PathExists(backupDir)); // the incomplete backup is gone
    EXPECT_TRUE(PathExists(backupRoot));
    ASSERT_FALSE(statusDuringRun.empty());
    EXPECT_EQ(statusDuringRun.front(), "Backup failed, proceeding with patching.");
    // Validate-only becomes available again once the run is over, not during it.
    EXPECT_FALSE(validateDuringRun.front());
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_VALIDATE_ONLY));
    EXPECT_EQ(ApplyRuns(), 1u);
    EXPECT_EQ(dlg->GetCheck(IDC_ENABLE_UNDO), BST_UNCHECKED);
    EXPECT_EQ(dlg->m_strBackupDir, "");
    EXPECT_EQ(dlg->m_strBackupFolder, "");
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_BACKUP_LABEL));
    EXPECT_EQ(dlg->GetItemText(IDC_BACKUP_LABEL), "");
    EXPECT_FALSE(dlg->m_bBusy);
    ExpectBarsAtZero();
}

TEST_F(PatchCommandTest, FailedCopyAnsweredYesThenEngineFailureHasNoBackupNote) {
    Open();
    ChoosePatch();
    ChooseBackup(backupRoot);
    EngineApplies(5);
    HANDLE held = ::CreateFileA((gameDir + "\\Data\\main.zip").c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    prompts->boxAnswers = {IDOK, IDYES, IDOK};
    Click(IDOK);
    ::CloseHandle(held);
    ASSERT_EQ(prompts->boxes.size(), 3u);
    ExpectBox(2, "Patch failed, please see patch messagebox for details!", "Error",
              MB_ICONERROR | MB_OK);
    EXPECT_EQ(dlg->m_strPatchPath, patchPath);
}

TEST_F(PatchCommandTest, FailedCopyAnsweredNoChangesNothing) {
    Open();
    ChoosePatch();
    ChooseBackup(backupRoot);
    EngineApplies(0);
    const std::string root = dlg->m_strBackupDir;
    const std::string folder = dlg->m_strBackupFolder;
    const std::string label = dlg->GetItemText(IDC_BACKUP_LABEL);
    const auto before = EnabledStates();
    const auto game = Snapshot(gameDir);
    HANDLE held = ::CreateFileA((gameDir + "\\Data\\main.zip").c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    MoveBars();
    prompts->boxAnswers = {IDOK, IDNO};
    Click(IDOK);
    ::CloseHandle(held);

    ASSERT_EQ(prompts->boxes.size(), 2u);
    ExpectBox(1, kQuestion, "Error", MB_YESNO | MB_ICONWARNING);
    EXPECT_FALSE(PathExists(backupDir));
    EXPECT_EQ(ApplyRuns(), 0u);
    EXPECT_EQ(Snapshot(gameDir), game);
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
    EXPECT_EQ(EnabledStates(), before);
    EXPECT_FALSE(dlg->m_bBusy);
    EXPECT_TRUE(dlg->m_bUndo);
    EXPECT_EQ(dlg->GetCheck(IDC_ENABLE_UNDO), BST_CHECKED);
    EXPECT_EQ(dlg->m_strBackupDir, root);
    EXPECT_EQ(dlg->m_strBackupFolder, folder);
    EXPECT_EQ(dlg->GetItemText(IDC_BACKUP_LABEL), label);
    EXPECT_EQ(dlg->m_strPatchPath, patchPath);
    ExpectBarsAtZero();
}

TEST_F(PatchCommandTest, ExistingBackupFolderIsNeverDeleted) {
    Open();
    ChoosePatch();
    ChooseBackup(backupRoot);
    WriteFileBytes(backupDir + "\\earlier.txt", "an earlier backup");
    EngineApplies(0);
    prompts->boxAnswers = {IDOK, IDYES, IDOK};
    Click(IDOK);
    ASSERT_EQ(prompts->boxes.size(), 3u);
    ExpectBox(0, "Directory: " + backupDir + " already exist.\nUnable to perform backup!.", "Error",
              MB_ICONERROR | MB_OK);
    ExpectBox(1, kQuestion, "Error", MB_YESNO | MB_ICONWARNING);
    ExpectBox(2, "Patch successful!", "Success", MB_ICONINFORMATION | MB_OK);
    EXPECT_EQ(ReadFileBytes(backupDir + "\\earlier.txt"), "an earlier backup");
    EXPECT_EQ(Snapshot(backupDir).size(), 1u);
}

TEST_F(PatchCommandTest, UndoFileOnAFullDiskEndsTheBusyState) {
    const char* volume = std::getenv("KELVANE_SMALL_VOLUME");
    if (volume == nullptr || *volume == '\0') {
        GTEST_SKIP() << "KELVANE_SMALL_VOLUME names no small volume";
    }
    const std::string root =
        std::string(volume) + "\\patch-" + std::to_string(::GetCurrentProcessId());
    RemoveTree(root);
    MakeDirs(root);
    prompts->freeByDrive[root.substr(0, 3)] = 10 * kGiB;
    Open();
    ChoosePatch();
    ChooseBackup(root);
    // The volume fills up before the backup starts.
    {
        HANDLE h = ::CreateFileA((root + "\\filler").c_str(), GENERIC_WRITE, 0, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        const std::string block(4096, 'f');
        DWORD written = 0;
        LONGLONG total = 0;
        while (::WriteFile(h, block.data(), 4096, &written, nullptr) && written > 0) {
            total += written;
            ASSERT_LT(total, 512LL * 1024 * 1024) << "the volume is not small";
        }
        ::CloseHandle(h);
    }
    const auto before = EnabledStates();
    prompts->boxAnswers = {IDOK, IDNO};
    Click(IDOK);
    ASSERT_EQ(prompts->boxes.size(), 2u);
    ExpectBox(0, "Unable to write file: " + backupDir + "\\undo_patch.reg . Unable to proceed.",
              "Error", MB_ICONERROR | MB_OK);
    ExpectBox(1, kQuestion, "Error", MB_YESNO | MB_ICONWARNING);
    EXPECT_FALSE(PathExists(backupDir));
    EXPECT_FALSE(dlg->m_bBusy);
    EXPECT_EQ(EnabledStates(), before);
    EXPECT_EQ(ApplyRuns(), 0u);
    RemoveTree(root);
}

} // namespace
} // namespace kt
