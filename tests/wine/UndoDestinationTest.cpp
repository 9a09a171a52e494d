// Choosing the backup destination with the undo check box: the folder browser and the free
// space come from the test seam, the check box and labels are the dialog's real controls.
#include "tests/wine/Harness.h"

#include <cctype>

namespace kt {
namespace {

constexpr int64_t kGiB = 1073741824LL;

const char kPrompt1GiB[] = "Please select a backup destination with min. 1024.00 MB free space "
                           "and press 'OK' (Do NOT choose your Tarrow directory).";
const char kNoRoom[] =
    "Not enough room to backup on this drive, select another or press cancel to skip backup.";

class UndoDestinationTest : public DialogTest {
  protected:
    void SetUp() override {
        DialogTest::SetUp();
        OpenDialog();
        Arrange();
    }
    // Temp directory C:\ with 10 GiB free, a second fixed drive D: with 5 GiB, a patch of
    // 1 GiB chosen, undo off, a queue of two. The game lives on C: below the scratch folder.
    void Arrange() {
        dlg->ClearUndo();
        prompts->drives =
            std::vector<std::pair<std::string, UINT>>{{"C:\\", DRIVE_FIXED}, {"D:\\", DRIVE_FIXED}};
        prompts->freeByDrive = {{"C:\\", 10 * kGiB}, {"D:\\", 5 * kGiB}};
        prompts->freeByPath.clear();
        dlg->m_strGameDir = gameDir;
        dlg->m_strTempDir = "C:\\";
        dlg->m_strPatchFile = "tarrow_1.23_from_1.22.rtp";
        dlg->m_llRequiredSpace = kGiB;
        dlg->EnableItem(IDC_ENABLE_UNDO, true);
        dlg->m_strBackupFolder = "undo_old";
        dlg->m_listQueue = {"C:\\Downloads\\a.rtp", "C:\\Downloads\\b.rtp"};
        dlg->m_bUseQueue = TRUE;
        dlg->EnableItem(IDC_CLEAR_QUEUE, true);
        prompts->browseRequests.clear();
        prompts->browseAnswers.clear();
        prompts->boxes.clear();
        prompts->freeQueries.clear();
    }
    void ClickWith(const std::vector<std::string>& answers) {
        prompts->browseAnswers.assign(answers.begin(), answers.end());
        Click(IDC_ENABLE_UNDO);
    }
    // Accepted when root is not empty (the queue emptied and queue mode off), dropped otherwise
    // (the queue and the earlier folder name kept); the browsers and warnings counted.
    void Expect(const std::string& root, const std::string& folder, size_t browses, size_t warnings,
                const std::string& prompt = kPrompt1GiB) {
        EXPECT_EQ(dlg->m_bUndo, !root.empty());
        EXPECT_EQ(dlg->GetCheck(IDC_ENABLE_UNDO), root.empty() ? BST_UNCHECKED : BST_CHECKED);
        EXPECT_EQ(dlg->m_strBackupDir, root);
        EXPECT_EQ(dlg->IsItemEnabled(IDC_BACKUP_LABEL), !root.empty());
        EXPECT_EQ(dlg->GetItemText(IDC_BACKUP_LABEL),
                  root.empty() ? "" : "Backing up to: " + root + folder);
        EXPECT_EQ(dlg->m_strBackupFolder, root.empty() ? "undo_old" : folder);
        EXPECT_EQ(dlg->m_listQueue.size(), root.empty() ? 2u : 0u);
        EXPECT_EQ(dlg->m_bUseQueue, root.empty() ? TRUE : FALSE);
        EXPECT_EQ(dlg->IsItemEnabled(IDC_CLEAR_QUEUE), root.empty());
        if (!root.empty()) {
            EXPECT_FALSE(dlg->IsItemEnabled(IDC_VALIDATE_ONLY));
            EXPECT_FALSE(dlg->IsItemEnabled(IDC_USE_QUEUE));
        }
        ASSERT_EQ(prompts->browseRequests.size(), browses);
        for (const auto& request : prompts->browseRequests) {
            EXPECT_EQ(request.first, dlg->m_hWnd);
            EXPECT_EQ(request.second, prompt);
        }
        ASSERT_EQ(prompts->boxes.size(), warnings);
        for (size_t i = 0; i < warnings; ++i) {
            ExpectBox(i, kNoRoom, "Error", MB_ICONWARNING | MB_OK);
        }
    }
};

TEST_F(UndoDestinationTest, Choices) {
    std::string upper = gameDir;
    std::string lower = gameDir;
    for (size_t i = 0; i < gameDir.size(); ++i) {
        upper[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(gameDir[i])));
        lower[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(gameDir[i])));
    }
    const std::string games = gameDir.substr(0, gameDir.find_last_of('\\'));
    const std::string d = "D:\\Backups\\";
    constexpr int64_t k10 = 10 * kGiB, k5 = 5 * kGiB, k15 = 3 * kGiB / 2;
    // setup: "mypatch" (patch mypatch.rtp), "no game", "no temp", "temp unreadable", "E:"
    // (a third drive with 2 GiB free), "zero" (no requirement, no patch file). Free space: of C:
    // (the temp drive) and of D:.
    struct Row {
        const char* setup;
        int64_t freeC, freeD;
        std::vector<std::string> answers;
        size_t browses, warnings;
        std::string root; // "": dropped
    };
    const Row rows[] = {
        {"", k10, k5, {"D:\\Backups"}, 1, 0, d},
        {"", k10, k5, {"D:\\"}, 1, 0, "D:\\"},
        {"mypatch", k10, k5, {"D:\\Backups"}, 1, 0, d},
        // Folders whose path starts with the game directory's text reopen the browser silently.
        {"", k10, k5, {gameDir, "D:\\Backups"}, 2, 0, d},
        {"", k10, k5, {upper, lower + "\\Saves", "D:\\Backups"}, 3, 0, d},
        {"", k10, k5, {gameDir + "\\Data\\Maps", gameDir + "\\", "D:\\Backups"}, 3, 0, d},
        {"", k10, k5, {gameDir + "2", gameDir + " Extras", "D:\\Backups"}, 3, 0, d},
        {"", k10, k5, {games}, 1, 0, games + "\\"},
        {"", k10, k5, {}, 1, 0, ""},
        {"", k10, k5, {gameDir, ""}, 2, 0, ""},
        {"no game", k10, k5, {gameDir + "\\Backups"}, 1, 0, gameDir + "\\Backups\\"},
        {"no temp", k10, k5, {}, 1, 0, ""},
        // The temp directory's drive needs room for twice the requirement.
        {"", k15, k5, {"C:\\Backups", "D:\\Backups"}, 2, 1, d},
        {"", 2 * kGiB, k5, {"c:\\Backups"}, 1, 0, "c:\\Backups\\"},
        {"", 2 * kGiB - 1, k5, {"c:\\Backups"}, 2, 1, ""},
        {"temp unreadable", k10, k5, {"C:\\Backups", ""}, 2, 1, ""},
        // Another drive needs room for the requirement once.
        {"", k10, kGiB, {"D:\\Backups"}, 1, 0, d},
        {"E:", k10, kGiB - 1, {"D:\\Backups", "D:\\Other", "E:\\Backups"}, 3, 2, "E:\\Backups\\"},
        {"", k10, -1, {"D:\\Backups", ""}, 2, 1, ""}, // unreadable
        // An answer after a warning meets every test again.
        {"", k10, 0, {"D:\\Backups", gameDir + "\\Backups", "C:\\Backups"}, 3, 1, "C:\\Backups\\"},
        {"", k15, 0, {"D:\\Backups", "C:\\Backups", ""}, 3, 2, ""},
        // No requirement (no patch chosen yet): "no space" in the prompt, the folder "undo".
        {"zero", k10, 0, {"D:\\Backups"}, 1, 0, d},
    };
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(++n);
        Arrange();
        const std::string setup = row.setup;
        prompts->freeByDrive = {{"C:\\", row.freeC}, {"D:\\", row.freeD}, {"E:\\", 2 * kGiB}};
        if (setup == "mypatch") {
            dlg->m_strPatchFile = "mypatch.rtp";
        } else if (setup == "no game") {
            dlg->m_strGameDir.clear();
        } else if (setup == "no temp") {
            dlg->m_strTempDir.clear();
        } else if (setup == "temp unreadable") {
            prompts->freeByPath["C:\\"] = -1;
        } else if (setup == "E:") {
            prompts->drives->push_back({"E:\\", DRIVE_FIXED});
        } else if (setup == "zero") {
            dlg->m_llRequiredSpace = 0;
            dlg->m_strPatchFile.clear();
        }
        ClickWith(row.answers);
        Expect(row.root,
               setup == "mypatch" ? "undomypatch"
               : setup == "zero"  ? "undo"
                                  : "undo_from_1.22",
               row.browses, row.warnings,
               setup == "zero" ? "Please select a backup destination with min. no space free "
                                 "space and press 'OK' (Do NOT choose your Tarrow directory)."
                               : kPrompt1GiB);
        if (!row.root.empty()) {
            // Clearing the box forgets the destination and opens no browser.
            Click(IDC_ENABLE_UNDO);
            EXPECT_EQ(prompts->browseRequests.size(), row.browses);
            EXPECT_FALSE(dlg->m_bUndo);
            EXPECT_EQ(dlg->m_strBackupDir + dlg->m_strBackupFolder, "");
            EXPECT_EQ(dlg->GetItemText(IDC_BACKUP_LABEL), "");
            EXPECT_FALSE(dlg->IsItemEnabled(IDC_BACKUP_LABEL));
            EXPECT_TRUE(dlg->IsItemEnabled(IDC_VALIDATE_ONLY) && dlg->IsItemEnabled(IDC_USE_QUEUE));
        }
    }
    // A cancel asks for no room; another drive than the temp directory's: only the destination.
    Arrange();
    ClickWith({});
    EXPECT_TRUE(prompts->freeQueries.empty());
    Arrange();
    ClickWith({"D:\\Backups"});
    EXPECT_EQ(prompts->freeQueries, std::vector<std::string>{"D:\\Backups"});
    // The same drive: the temp directory's free space is read first.
    Arrange();
    prompts->freeByDrive["C:\\"] = 3 * kGiB / 2;
    ClickWith({"C:\\Backups", "D:\\Backups"});
    EXPECT_EQ(prompts->freeQueries.at(0), "C:\\");
}

// Clearing the box gives back Use Queue only while Ignore Missing Files is not ticked.
TEST_F(UndoDestinationTest, ClearingWithIgnoreMissingTickedKeepsUseQueueDisabled) {
    ClickWith({"D:\\Backups"});
    prompts->boxAnswers.push_back(IDYES);
    Click(IDC_IGNORE_MISSING);
    ASSERT_TRUE(dlg->m_bIgnoreMissing);
    Click(IDC_ENABLE_UNDO);
    EXPECT_FALSE(dlg->m_bUndo);
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_VALIDATE_ONLY));
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_USE_QUEUE));
}

} // namespace
} // namespace kt
