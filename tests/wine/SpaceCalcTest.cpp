// The space calculation through the real dialog: real game directories on the Wine C:
// drive, the stand-in engine reporting file names in list mode, and the busy state on the
// dialog's real controls.
#include "tests/wine/Harness.h"

#include "environment/Environment.h"

#include <algorithm>
#include <set>

namespace kt {
namespace {

using Texts = std::vector<std::string>;

Texts ToTexts(const TextList& list) {
    return {list.begin(), list.end()};
}

class SpaceCalcTest : public DialogTest {
  protected:
    // A game directory of its own with these files (relative path -> size), without the
    // engine library and without blanks in its path, made the dialog's game directory.
    std::string UseGameDir(const std::map<std::string, size_t>& files) {
        const std::string dir = *scratch / "Install\\Tarrowmoor";
        MakeDirs(dir);
        for (const auto& [rel, size] : files) {
            WriteFileBytes(dir + "\\" + rel, std::string(size, 'k'));
        }
        dlg->m_strGameDir = dir;
        dlg->m_strPatchPath = *scratch / "update.rtp";
        return dir;
    }
    // The files to back up, with "~" standing for the game directory.
    Texts Entries(const std::string& gd) const {
        Texts entries;
        for (std::string entry : dlg->m_listFilesToBackUp) {
            const size_t at = entry.find(gd);
            entries.push_back(at == std::string::npos ? entry : entry.replace(at, gd.size(), "~"));
        }
        return entries;
    }
};

// Each name the engine lists is looked up once, without regard to case, in the whole game
// directory but the one child "Tarrowmoor"; every file of that name is backed up, and a name
// found nowhere becomes a removal line.
TEST_F(SpaceCalcTest, PatchTargetsAreFoundByName) {
    // clang-format off
    struct Row { std::map<std::string, size_t> files; const char* script; Texts entries; int64_t need; bool ordered; };
    const Row rows[] = {
        {{{"a.dat", 10}, {"b.dat", 20}, {"c.dat", 40}}, "7 a.dat\n7 A.DAT\n7 b.dat\n", {"~\\a.dat", "~\\b.dat"}, 30, true},
        {{{"main.zip", 100}, {"Data\\MAIN.ZIP", 50}, {"Data\\other.zip", 7}}, "7 Main.zip\n", {"~\\Data\\MAIN.ZIP", "~\\main.zip"}, 150, false},
        {{{"old.dat", 3}}, "7 new.dat\n7 old.dat\n7 Data\\old.dat\n", {"del /s ~\\.\\new.dat", "~\\old.dat", "del /s ~\\.\\Data\\old.dat"}, 3, true},
        // The child "Tarrowmoor" is passed over in any case, file or folder; deeper folders
        // and other names that start with it are not.
        {{{"tarrowMOOR\\only-here.dat", 9}, {"tarrowMOOR\\Sub\\deeper.dat", 10}, {"Beta\\Tarrowmoor\\kept.dat", 11}, {"Tarrowmoor.dat", 12}, {"top.dat", 1}},
         "7 only-here.dat\n7 kept.dat\n7 deeper.dat\n7 tarrowmoor.dat\n",
         {"del /s ~\\.\\only-here.dat", "~\\Beta\\Tarrowmoor\\kept.dat", "del /s ~\\.\\deeper.dat", "~\\Tarrowmoor.dat"}, 23, true},
        {{{"TARROWMOOR", 5}, {"x.dat", 6}}, "7 Tarrowmoor\n", {"del /s ~\\.\\Tarrowmoor"}, 0, true},
        // Names fold as the ANSI code page (1252) folds them: e acute and AE, not e grave.
        {{{"caf\xE9.dat", 5}, {"Sub\\\xC6ON.DAT", 7}, {"caf\xE8.dat", 11}}, "7 CAF\xC9.DAT\n7 caf\xE9.DAT\n7 \xE6on.dat\n7 cafe.dat\n",
         {"~\\caf\xE9.dat", "~\\Sub\\\xC6ON.DAT", "del /s ~\\.\\cafe.dat"}, 12, true},
    };
    // clang-format on
    ASSERT_EQ(::GetACP(), 1252u);
    for (const Row& r : rows) {
        SCOPED_TRACE(r.script);
        Restart();
        OpenDialog();
        const std::string gd = UseGameDir(r.files);
        engine->Script(r.script);
        EXPECT_EQ(dlg->CalcSpaceRequirements(), 0);
        Texts entries = Entries(gd);
        if (!r.ordered) { // in the order the system lists the folders
            std::sort(entries.begin(), entries.end());
        }
        EXPECT_EQ(entries, r.entries);
        EXPECT_EQ(dlg->m_llRequiredSpace, r.need);
    }
    // The listing stays as the engine gave it; the targets lose repeated names.
    EXPECT_EQ(ToTexts(dlg->m_listEngineListing),
              (Texts{"CAF\xC9.DAT", "caf\xE9.DAT", "\xE6on.dat", "cafe.dat"}));
    EXPECT_EQ(ToTexts(dlg->m_listPatchTargets), (Texts{"CAF\xC9.DAT", "\xE6on.dat", "cafe.dat"}));
}

TEST_F(SpaceCalcTest, HiddenSystemReadOnlyAndTheEngineItselfCount) {
    OpenDialog();
    // The registered installation "...\Games\Tarrow Moor" holds a blank and the engine.
    WriteFileBytes(gameDir + "\\hidden.dat", std::string(13, 'h'));
    WriteFileBytes(gameDir + "\\Sys\\system.dat", std::string(17, 's'));
    ASSERT_TRUE(::SetFileAttributesA((gameDir + "\\hidden.dat").c_str(),
                                     FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(::SetFileAttributesA((gameDir + "\\Sys\\system.dat").c_str(),
                                     FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(::SetFileAttributesA((gameDir + "\\Sys").c_str(), FILE_ATTRIBUTE_HIDDEN));
    engine->Script("7 HIDDEN.DAT\n7 system.dat\n7 new.dat\n7 PATCHW32.DLL\n");
    EXPECT_EQ(dlg->CalcSpaceRequirements(), 0);
    EXPECT_EQ(Entries(gameDir), (Texts{"~\\hidden.dat", "~\\Sys\\system.dat",
                                       "del /s ~\\.\\new.dat", "~\\patchw32.dll"}));
    EXPECT_EQ(dlg->m_llRequiredSpace,
              30 + static_cast<int64_t>(ReadFileBytes(gameDir + "\\patchw32.dll").size()));
}

TEST_F(SpaceCalcTest, FolderThatCannotBeSearchedIsPassedOver) {
    OpenDialog();
    const std::string gd = UseGameDir({{"a.dat", 1}, {"z.dat", 2}});
    // A folder whose search pattern is longer than an ANSI path may be.
    const std::string outer = gd + "\\deep\\" + std::string(100, 'o');
    const std::string inner = outer + "\\" + std::string(150, 'i');
    WriteFileBytes(outer + "\\beside.dat", "bes");
    std::wstring innerW = L"\\\\?\\";
    for (char c : inner) {
        innerW += static_cast<wchar_t>(c);
    }
    const std::wstring fileW = innerW + L"\\lost.dat";
    ASSERT_TRUE(::CreateDirectoryW(innerW.c_str(), nullptr));
    HANDLE h = ::CreateFileW(fileW.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ::CloseHandle(h);
    engine->Script("7 lost.dat\n7 beside.dat\n7 a.dat\n7 z.dat\n");
    EXPECT_EQ(dlg->CalcSpaceRequirements(), 0);
    ::DeleteFileW(fileW.c_str());
    ::RemoveDirectoryW(innerW.c_str());
    std::set<std::string> found;
    for (const GameFileEntry& e : dlg->m_listGameFiles) {
        found.insert(e.path);
    }
    EXPECT_EQ(found,
              (std::set<std::string>{gd + "\\a.dat", gd + "\\z.dat", outer + "\\beside.dat"}));
    EXPECT_EQ(dlg->m_listFilesToBackUp.front(), "del /s " + gd + "\\.\\lost.dat");
    EXPECT_EQ(dlg->m_llRequiredSpace, 6);
}

// Results of one calculation stand until the next succeeds; the inventory of the game
// directory is made once and kept until it is emptied (after a patch run).
TEST_F(SpaceCalcTest, LaterCalculations) {
    OpenDialog();
    const std::string gd = UseGameDir({{"old.dat", 100}});
    engine->Script("7 old.dat\n7 late.dat\n---\n7 b.dat\nret 4\n---\n7 old.dat\n7 late.dat\n---\n"
                   "---\n7 old.dat\n7 late.dat\n");
    ASSERT_EQ(dlg->CalcSpaceRequirements(), 0);
    const Texts first = Entries(gd);
    EXPECT_EQ(first, (Texts{"~\\old.dat", "del /s ~\\.\\late.dat"}));
    // A failing list run keeps the previous results and shows no box of its own.
    EXPECT_EQ(dlg->CalcSpaceRequirements(), 4);
    EXPECT_EQ(Entries(gd), first);
    EXPECT_EQ(ToTexts(dlg->m_listPatchTargets), (Texts{"old.dat", "late.dat"}));
    EXPECT_EQ(dlg->m_llRequiredSpace, 100);
    EXPECT_TRUE(prompts->boxes.empty());
    // Added and removed after the scan: neither is seen.
    WriteFileBytes(gd + "\\late.dat", std::string(20, 'l'));
    ::DeleteFileA((gd + "\\old.dat").c_str());
    EXPECT_EQ(dlg->CalcSpaceRequirements(), 0);
    EXPECT_EQ(Entries(gd), first);
    // An empty listing replaces the results with nothing.
    EXPECT_EQ(dlg->CalcSpaceRequirements(), 0);
    EXPECT_TRUE(dlg->m_listEngineListing.empty());
    EXPECT_TRUE(dlg->m_listPatchTargets.empty());
    EXPECT_TRUE(dlg->m_listFilesToBackUp.empty());
    EXPECT_EQ(dlg->m_llRequiredSpace, 0);
    // Once the inventory is emptied the next calculation scans anew.
    dlg->m_listGameFiles.clear();
    EXPECT_EQ(dlg->CalcSpaceRequirements(), 0);
    EXPECT_EQ(Entries(gd), (Texts{"del /s ~\\.\\old.dat", "~\\late.dat"}));
    EXPECT_EQ(dlg->m_llRequiredSpace, 20);
}

// Nothing to calculate: no game directory (1, nothing touched), a game directory without
// files (1), no entry point in the engine (2, after the engine's box).
TEST_F(SpaceCalcTest, NothingToCalculate) {
    for (int kind = 0; kind < 3; ++kind) {
        SCOPED_TRACE(kind);
        Restart();
        if (kind == 2) {
            CopyFileOrDie(ScriptedEngine::NoEntryLibraryPath(), gameDir + "\\patchw32.dll");
        }
        OpenDialog();
        if (kind == 0) {
            dlg->m_strGameDir.clear();
        } else if (kind == 1) {
            UseGameDir({});
            MakeDirs(dlg->m_strGameDir + "\\Empty\\Deeper");
        }
        dlg->SetStatusText("before");
        dlg->m_llRequiredSpace = 77;
        const std::vector<bool> before = Enabled();
        EXPECT_EQ(dlg->CalcSpaceRequirements(), kind == 2 ? 2 : 1);
        EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), kind == 0 ? "before" : "");
        EXPECT_EQ(Enabled(), before);
        EXPECT_FALSE(dlg->m_bBusy);
        EXPECT_EQ(dlg->m_llRequiredSpace, 77);
        EXPECT_TRUE(engine->Calls().empty());
        EXPECT_EQ(prompts->boxes.size(), kind == 2 ? 1u : 0u); // the box: EngineRunTest
    }
}

// The busy state.

TEST_F(SpaceCalcTest, BusyStateGivesBackExactlyWhatItTook) {
    OpenDialog();
    dlg->EnableItem(IDC_IGNORE_MISSING, false);
    const std::vector<bool> before = Enabled();
    dlg->EnterBusyState();
    EXPECT_EQ(Enabled(), std::vector<bool>(before.size(), false));
    EXPECT_TRUE(dlg->m_bBusy);
    dlg->EnableItem(IDOK, true); // enabled meanwhile: not the busy state's to give back
    dlg->EnableItem(IDC_IGNORE_MISSING, true);
    dlg->EnableItem(IDC_IGNORE_MISSING, false);
    dlg->LeaveBusyState();
    std::vector<bool> after = before;
    after[13] = true; // IDOK
    EXPECT_EQ(Enabled(), after);
    EXPECT_FALSE(dlg->m_bBusy);
    // A second round starts afresh.
    dlg->EnableItem(IDC_TEMP_DIR, false);
    dlg->EnterBusyState();
    dlg->LeaveBusyState();
    EXPECT_FALSE(dlg->IsItemEnabled(IDC_TEMP_DIR));
    EXPECT_TRUE(dlg->IsItemEnabled(IDC_SELECT_PATCH));
}

// What the dialog shows in the middle of the list run (the wait cursor only then), seen from
// a message that the engine's callback lets through.
TEST_F(SpaceCalcTest, DuringTheListRunTheDialogIsBusy) {
    OpenDialog();
    UseGameDir({{"a.dat", 10}});
    engine->Script("7 a.dat\n7 b.dat\n");
    const std::vector<bool> before = Enabled();
    const auto state = [&] {
        ::SetCursor(nullptr);
        ::SendMessageA(dlg->m_hWnd, WM_SETCURSOR, reinterpret_cast<WPARAM>(dlg->m_hWnd),
                       MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
        std::string seen = dlg->m_wndStatusBar.GetPaneText(0) + (dlg->m_bBusy ? " busy" : "");
        for (bool enabled : Enabled()) {
            seen += enabled ? " enabled" : "";
        }
        return seen + (::GetCursor() == dlg->m_hWaitCursor ? " wait" : "");
    };
    std::string seen;
    {
        DuringRun probe(
            dlg->m_hWnd, [&] { seen = state(); }, WM_APP + 7);
        ::PostMessageA(dlg->m_hWnd, WM_APP + 7, 0, 0);
        EXPECT_EQ(dlg->CalcSpaceRequirements(), 0);
    }
    EXPECT_EQ(seen, "Please wait, calculating patch space requirements... busy wait");
    EXPECT_EQ(Enabled(), before);
    EXPECT_FALSE(dlg->m_bBusy);
    EXPECT_EQ(dlg->m_wndStatusBar.GetPaneText(0), "");
    EXPECT_EQ(state().find("wait"), std::string::npos); // the arrow again
}

} // namespace
} // namespace kt
