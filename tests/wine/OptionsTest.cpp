// The option switches "Ignore Missing Files.", "Validate install only." and "Enable patch
// undo." and the reset after a patch run, clicked on the real dialog. The options exclude one
// another: the queue buttons, the undo check box and the Patch button follow every switch.
#include "tests/wine/Harness.h"

#include "environment/logic/SizeFormat.h"

#include <sstream>

namespace kt {
namespace {

constexpr int64_t kGiB = 1073741824LL;

const char kIgnoreWarning[] =
    "WARNING: Choosing to ignore missing/incorrect files may cause unforeseen errors.\n You can "
    "NOT ask Brackwater support for help once you have patched this way unless you reinstall "
    "your game first.\n\n By pressing the Yes button you accept this.";

class OptionsTest : public DialogTest {
  protected:
    // Two fixed drives with known free space (C: the roomier one at start-up) and a start:
    // "none" (as opened), "patch" (a patch chosen, its requirement known), "queue" (a queue
    // of two, as the queue dialog leaves it), "patch+queue", or "qmode" (a queue of two with
    // the option boxes disabled, as queue mode leaves them).
    void Start(const std::string& start, int64_t required = kGiB) {
        prompts->drives = std::vector<std::pair<std::string, UINT>>{
            {"A:\\", DRIVE_REMOVABLE}, {"C:\\", DRIVE_FIXED}, {"D:\\", DRIVE_FIXED}};
        prompts->freeByDrive["C:\\"] = 10 * kGiB;
        prompts->freeByDrive["D:\\"] = 5 * kGiB;
        OpenDialog();
        ASSERT_EQ(dlg->m_strTempDir, "C:\\");
        if (start.find("patch") != std::string::npos) {
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
        if (start.find("queue") != std::string::npos || start == "qmode") {
            dlg->m_listQueue = {"C:\\Downloads\\a.rtp", "C:\\Downloads\\b.rtp"};
            dlg->m_bUseQueue = TRUE;
            dlg->EnableItem(IDC_SELECT_PATCH, false);
            dlg->EnableItem(IDC_CLEAR_QUEUE, true);
            dlg->EnableItem(IDOK, true);
        }
        if (start == "qmode") {
            for (int id : {IDC_IGNORE_MISSING, IDC_VALIDATE_ONLY, IDC_ENABLE_UNDO}) {
                dlg->EnableItem(id, false);
            }
        }
    }

    // Clicks: "I+"/"I-" Ignore Missing answered Yes/No (the warning box must ask), "I" Ignore
    // Missing switched off, "V" Validate, "U" undo (on with D:\Backups chosen, or off), "v+"
    // validate made available, "R+"/"R-" the reset after a successful/failed run.
    void Do(const std::string& clicks) {
        std::istringstream in(clicks);
        for (std::string click; in >> click;) {
            const size_t boxes = prompts->boxes.size();
            if (click == "I+" || click == "I-") {
                prompts->boxAnswers.push_back(click == "I+" ? IDYES : IDNO);
                Click(IDC_IGNORE_MISSING);
                ASSERT_EQ(prompts->boxes.size(), boxes + 1);
                ExpectBox(boxes, kIgnoreWarning, "WARNING", MB_YESNO | MB_ICONWARNING);
                continue;
            }
            if (click == "I" || click == "V") {
                Click(click == "I" ? IDC_IGNORE_MISSING : IDC_VALIDATE_ONLY);
            } else if (click == "U") {
                if (!dlg->m_bUndo) {
                    prompts->browseAnswers.push_back("D:\\Backups");
                }
                Click(IDC_ENABLE_UNDO);
            } else if (click == "v+") {
                dlg->EnableItem(IDC_VALIDATE_ONLY, true);
            } else {
                dlg->ResetAfterRun(click == "R+" ? TRUE : FALSE);
            }
            EXPECT_EQ(prompts->boxes.size(), boxes) << click << " asks nothing";
        }
    }

    std::string TempLabel(const std::string& free) const {
        return "Select a temp directory: (current has " + free + " free).";
    }
};

TEST_F(OptionsTest, SwitchesAndResetsLeaveTheControlsInTheirStates) {
    struct Row {
        const char* start;
        const char* clicks;
        const char* state;
    };
    const Row rows[] = {
        {"queue", "I-", "--- qc.vio.. 2P"},       // declined: the queue stays
        {"patch", "I+", "I-- ..uvios. 0P"},       // the queue is excluded
        {"patch+queue", "I+", "I-- ..uvio.. 0P"}, // and emptied
        {"none", "I+ I", "--- q.uvi.s. 0P"},      // off again: queue and undo return
        {"patch", "I+ V", "IV- ...vios. 0V"},     // both on together
        {"patch", "I+ V I", "-V- ...vios. 0V"},   // validate still excludes them
        {"patch", "I+ U", "I-U ..u.iosb 0P"},     // both on together
        {"patch", "I+ U I", "--U ..u.iosb 0P"},   // undo still excludes the queue
        {"patch+queue", "V", "-V- ...vio.. 0V"},  // validate excludes queue and undo
        {"patch", "U v+ V", "-V- ...vios. 0V"},   // validate switches undo off
        {"patch", "U v+ V V", "--- q.uvios. 0P"},
        {"none", "V V", "--- q.uvi.s. 0P"}, // undo available even without a patch
        {"patch", "V I+ V", "I-- ..uvios. 0P"},
        {"patch+queue", "U", "--U ..u.io.b 0P"}, // undo excludes validate and the queue
        {"patch+queue", "U U", "--- q.uvio.. 0P"},
        {"patch", "I+ U U", "I-- ..uvios. 0P"},
        {"patch", "I+ U R+", "I-- ...vi.s. 0P"}, // success: the selection goes
        {"patch", "V R+", "-V- ...vi.s. 0V"},    // validate-only stays on
        {"patch", "R-", "--- q.uvios. 0P"},      // failure: the selection stays
        {"patch", "U R-", "--- q.uvios. 0P"},    // but undo ends
        {"qmode", "R+", "--- q..vi.s. 0P"},      // queue mode ends
        {"qmode", "R-", "--- q..vi.s. 0P"},      // with nothing selected to patch
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.start) + ": " + r.clicks);
        Restart();
        Start(r.start);
        Do(r.clicks);
        EXPECT_EQ(Controls(), r.state);
    }
}

TEST_F(OptionsTest, ResetAfterSuccessClearsThePatchAndTakesTheRoomiestDrive) {
    Start("patch");
    Do("I+ U");
    dlg->m_strTempDir = "C:\\Temp"; // chosen by hand; meanwhile D: became the roomier drive
    prompts->freeByDrive["D:\\"] = 20 * kGiB;
    dlg->m_listGameFiles.push_back({"C:\\x\\a.dat", 5});
    dlg->SetStatusText("Backup done, now proceeding with patching.");
    Do("R+");
    EXPECT_TRUE(dlg->m_listGameFiles.empty()); // the next calculation scans anew
    EXPECT_EQ(dlg->m_strPatchPath, "");
    EXPECT_EQ(dlg->m_strPatchFile, "");
    EXPECT_EQ(dlg->GetItemText(IDC_ENABLE_UNDO), "Enable patch undo.");
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE_LABEL), "Select Patch File:");
    EXPECT_EQ(dlg->m_strBackupDir, "");
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
    EXPECT_EQ(dlg->m_strTempDir, "D:\\");
    EXPECT_EQ(dlg->GetItemText(IDC_TEMP_DIR_LABEL), TempLabel("20.00 GB"));
}

TEST_F(OptionsTest, ResetAfterFailureKeepsThePatchAndItsTexts) {
    Start("patch", 3 * kGiB / 2);
    Do("U");
    dlg->m_strTempDir = "D:\\Work";
    Do("R-");
    EXPECT_EQ(dlg->m_strPatchPath, "C:\\Downloads\\tarrow_1.23_from_1.22.rtp");
    EXPECT_EQ(dlg->m_llRequiredSpace, 3 * kGiB / 2);
    EXPECT_EQ(dlg->GetItemText(IDC_PATCH_FILE_LABEL),
              "Select Patch File: (requires min. 1.50 GB temp space)");
    EXPECT_EQ(dlg->GetItemText(IDC_ENABLE_UNDO), "Enable patch undo."); // undo ended
    EXPECT_EQ(dlg->m_strBackupDir, "");
    EXPECT_EQ(dlg->m_strTempDir, "C:\\");
    EXPECT_EQ(dlg->GetItemText(IDC_TEMP_DIR_LABEL), TempLabel("10.00 GB"));
}

// Without a fixed drive the temp directory stays and reports its own space (the choice among
// fixed drives is InstallationTest's).
TEST_F(OptionsTest, ResetChoosesTheTempDirectory) {
    Start("none");
    dlg->m_strTempDir = "D:\\Work";
    prompts->drives = std::vector<std::pair<std::string, UINT>>{{"A:\\", DRIVE_REMOVABLE},
                                                                {"N:\\", DRIVE_REMOTE}};
    Do("R-");
    EXPECT_EQ(dlg->m_strTempDir, "D:\\Work");
    EXPECT_EQ(dlg->GetItemText(IDC_TEMP_DIR_LABEL), TempLabel("5.00 GB"));
    prompts->freeByDrive["D:\\"] = -1; // cannot be queried
    Do("R-");
    EXPECT_EQ(dlg->GetItemText(IDC_TEMP_DIR_LABEL), TempLabel("0"));
}

} // namespace
} // namespace kt
